#pragma once

#include <QTimer>
#include <algorithm>
#include <chrono>

#include "transport/serial_layer.h"

namespace tolvane {

// How a port that went away is tried again: the first pause, and the longest that doubling it
// reaches.
struct RetrySchedule {
    std::chrono::milliseconds first;
    std::chrono::milliseconds longest;
};

// A local device twice a second: an adapter plugged back is used at once. A network address
// from 1 s up to 30 s: a server that restarts, or a network that is down, is not hammered.
constexpr RetrySchedule retryScheduleFor(TransportKind transport) {
    using std::chrono::milliseconds;
    if (transport == TransportKind::Device) return {milliseconds{500}, milliseconds{500}};
    return {milliseconds{1000}, milliseconds{30000}};
}

constexpr std::chrono::milliseconds nextRetryPause(const RetrySchedule& schedule,
                                                   std::chrono::milliseconds pause) {
    return std::min(pause * 2, schedule.longest);
}

// Opens again, quietly and on its schedule, a port that went away by itself, until it is back
// or stop() is called.
class Reconnector {
  public:
    explicit Reconnector(SerialLayer& port);

    void start(TransportKind transport);
    void stop();
    bool active() const { return wanted_; }

  private:
    void tryOnce();

    SerialLayer& port_;
    QTimer timer_;
    RetrySchedule schedule_{};
    std::chrono::milliseconds pause_{0};
    bool wanted_ = false;
};

}  // namespace tolvane
