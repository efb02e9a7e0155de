#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace tolvane::projector {

// Turns SIGINT, SIGTERM and SIGHUP, and the end of standard input, into one Qt signal, so the
// simulator always stops through its event loop and cleans up after itself.
// One instance per process: it owns the signal handlers.
class StopRequests : public QObject {
    Q_OBJECT

  public:
    // Throws std::system_error when the handlers cannot be installed.
    explicit StopRequests(QObject* parent = nullptr);
    ~StopRequests() override;

  signals:
    void stopRequested(const QString& why);

  private:
    void onSignal();
    void onInput();

    int pipe_[2] = {-1, -1};
    QSocketNotifier* signalNotifier_ = nullptr;
    QSocketNotifier* inputNotifier_ = nullptr;
};

}  // namespace tolvane::projector
