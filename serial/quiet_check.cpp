#include "serial/quiet_check.h"

#include <utility>

#include "protocol/key_table.h"
#include "serial/messages.h"

namespace tolvane {

void sendProbe(SerialLayer& port) {
    if (port.PortOpen()) port.InBufferCount(0);
    port.Output(probeFrame());
}

bool takeReply(SerialLayer& port, std::int16_t count) {
    if (port.InBufferCount() < count) return false;
    port.InBufferCount(0);
    return true;
}

QuietCheck::QuietCheck(SerialLayer& port) : port_(port) {
    deadline_.setSingleShot(true);
    deadline_.setInterval(kReplyTimeout);
    deadline_.setTimerType(Qt::PreciseTimer);
    poll_.setInterval(kWaitBound);
    poll_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll_, &QTimer::timeout, [this] { look(); });
    QObject::connect(&deadline_, &QTimer::timeout, [this] {
        look();
        if (waiting()) finish(Result::NotResponding);
    });
}

void QuietCheck::start(Done done) {
    done_ = std::move(done);
    try {
        sendProbe(port_);
    } catch (const SerialError& error) {
        finish(Result::Failed, messageFor(error.kind()));
        return;
    }
    deadline_.start();
    poll_.start();
}

void QuietCheck::interrupt(std::string_view reason) {
    if (waiting()) look();
    if (waiting()) finish(Result::Interrupted, reason);
}

void QuietCheck::look() {
    try {
        if (!takeReply(port_)) return;
    } catch (const SerialError& error) {
        finish(Result::Failed, messageFor(error.kind()));
        return;
    }
    finish(Result::Responding);
}

void QuietCheck::finish(Result result, std::string_view message) {
    deadline_.stop();
    poll_.stop();
    // Taken out first: the callback may start the next check.
    if (Done done = std::exchange(done_, nullptr)) done(result, message);
}

}  // namespace tolvane
