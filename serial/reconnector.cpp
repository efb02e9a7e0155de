#include "serial/reconnector.h"

namespace tolvane {

Reconnector::Reconnector(SerialLayer& port) : port_(port) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { tryOnce(); });
}

void Reconnector::start(TransportKind transport) {
    schedule_ = retryScheduleFor(transport);
    pause_ = schedule_.first;
    wanted_ = true;
    timer_.start(pause_);
}

void Reconnector::stop() {
    wanted_ = false;
    timer_.stop();
}

void Reconnector::tryOnce() {
    try {
        if (port_.reopenLost()) {
            wanted_ = false;
            return;
        }
    } catch (const SerialError&) {
        // Not back yet; the user hears of it only when a key finds the port closed.
    }
    // stop() may have come while the try waited for the network.
    if (!wanted_) return;
    pause_ = nextRetryPause(schedule_, pause_);
    timer_.start(pause_);
}

}  // namespace tolvane
