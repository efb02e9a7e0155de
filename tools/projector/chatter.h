#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>

namespace tolvane::projector {

// Streams a fixed number of arbitrary bytes to the panel, as a device that talks all the time
// would. It writes only while the line takes more, so a panel that stops reading holds it back
// rather than making it spin or buffer.
class Chatter : public QObject {
    Q_OBJECT

  public:
    // `controller` is the non-blocking controller end of the line; it stays owned by the caller.
    Chatter(int controller, std::uint64_t total, QObject* parent = nullptr);

    std::uint64_t sent() const { return sent_; }
    std::uint64_t total() const { return total_; }

  private:
    void writeMore();

    int controller_;
    std::uint64_t total_;
    std::uint64_t sent_ = 0;
    std::uint32_t state_ = 0x2545F491u;  // pseudo-random, the same stream on every run
    QSocketNotifier notifier_;
};

}  // namespace tolvane::projector
