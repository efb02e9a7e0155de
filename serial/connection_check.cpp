#include "serial/connection_check.h"

#include "protocol/key_table.h"
#include "serial/messages.h"
#include "transport/logging.h"

namespace tolvane {

void ConnectionCheck::click() {
    // A click still queued when the window began to close starts nothing.
    if (host_.closing()) return;
    if (depth_ >= kMaxNestedChecks) {
        if (!ignoring_)
            qCInfo(lcSerial) << "Check Connection clicked while" << depth_
                             << "checks wait; ignoring clicks until one ends";
        ignoring_ = true;
        return;
    }
    ignoring_ = false;
    ++depth_;
    run();
    --depth_;
}

void sendProbe(SerialLayer& port) {
    if (port.PortOpen()) port.InBufferCount(0);
    port.Output(probeFrame());
}

void ConnectionCheck::run() {
    try {
        sendProbe(port_);
    } catch (const SerialError& error) {
        host_.showMessage(messageFor(error.kind()));
        return;
    }
    host_.setTimerEnabled(true);
    const std::int16_t count = 1;
    try {
        wait(count);
    } catch (const SerialError& error) {
        // A port that vanished under the check: end it, never leave the timer running.
        host_.setTimerEnabled(false);
        host_.showMessage(messageFor(error.kind()));
        return;
    }
    if (host_.closing()) {
        host_.setTimerEnabled(false);
        return;
    }
    // A disabled timer means the time-out has been reported already (or by a nested check).
    if (!host_.timerEnabled()) return;
    host_.setTimerEnabled(false);
    host_.showResponding();
}

void ConnectionCheck::tick() {
    host_.setTimerEnabled(false);
    host_.showNotResponding();
}

void ConnectionCheck::wait(const std::int16_t& count) {
    // Each pass runs the pending events, then tests the timer, then the count. Every pass but the
    // first sleeps until an event arrives, instead of spinning; the host ends that sleep after
    // kWaitBound, so bytes counted without an event are seen too.
    for (bool firstPass = true;; firstPass = false) {
        host_.processEvents(!firstPass);
        if (host_.closing() || !host_.timerEnabled()) return;
        if (port_.InBufferCount() < count) continue;
        port_.InBufferCount(0);
        return;
    }
}

}  // namespace tolvane
