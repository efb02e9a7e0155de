#include "send/console_check.h"

#include <QCoreApplication>

namespace tolvane::send {

ConsoleCheck::ConsoleCheck(SerialLayer& port) : check_(port, *this) {
    Timer1.setInterval(kReplyTimeout);
    Timer1.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Timer1, &QTimer::timeout, [this] { check_.tick(); });
    waitBound_.setInterval(kWaitBound);
    waitBound_.setTimerType(Qt::PreciseTimer);
}

ConsoleCheck::Result ConsoleCheck::run() {
    result_ = Result::Stopped;
    check_.click();
    return result_;
}

void ConsoleCheck::setTimerEnabled(bool enabled) {
    if (!enabled)
        Timer1.stop();
    else if (!Timer1.isActive())
        Timer1.start();
}

void ConsoleCheck::processEvents(bool mayWait) {
    if (!mayWait) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // The bound's own event ends the sleep if nothing else does.
    waitBound_.start();
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    waitBound_.stop();
}

void ConsoleCheck::showMessage(std::string_view text) {
    result_ = Result::Failed;
    message_ = text;
}

}  // namespace tolvane::send
