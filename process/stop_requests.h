#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

namespace tolvane {

// Turns SIGINT, SIGTERM and SIGHUP (those not ignored at start), and optionally the end of
// standard input, into one Qt signal, so a program always stops through its event loop and
// cleans up after itself (the panel releases its port and lock file, the simulator removes its
// link). The signals' earlier actions come back when it goes.
// One instance per process: it owns the signal handlers.
class StopRequests : public QObject {
    Q_OBJECT

  public:
    enum class Input { Ignore, Watch };
    // Throws std::system_error when the handlers cannot be installed.
    explicit StopRequests(Input input, QObject* parent = nullptr);
    ~StopRequests() override;

  signals:
    void stopRequested(const QString& why);

  private:
    void onSignal();
    void onInput();

    int pipe_[2] = {-1, -1};
    QSocketNotifier* inputNotifier_ = nullptr;
    QTimer* foregroundCheck_ = nullptr;
};

}  // namespace tolvane
