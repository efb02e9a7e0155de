#include "serial/connection_check.h"

#include "platform/logging.h"
#include "protocol/key_table.h"
#include "serial/messages.h"

namespace tolvane {

void ConnectionCheck::click() {
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

void ConnectionCheck::run() {
    try {
        // Only a byte that comes after the probe answers it. What waits now is left over from
        // before: an answer to a key press, or a reply that came after an earlier time-out.
        if (port_.PortOpen()) port_.InBufferCount(0);
        port_.Output(probeFrame());
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
    // Each pass runs the pending events, then tests the timer, then the count. Between passes
    // nothing can change until an event arrives, so every pass but the first sleeps until one
    // does, instead of spinning.
    for (bool firstPass = true;; firstPass = false) {
        host_.processEvents(!firstPass);
        if (host_.closing() || !host_.timerEnabled()) return;
        if (port_.InBufferCount() < count) continue;
        port_.InBufferCount(0);
        return;
    }
}

}  // namespace tolvane
