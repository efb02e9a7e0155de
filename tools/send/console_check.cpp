#include "send/console_check.h"

#include <QCoreApplication>

namespace tolvane::send {

ConsoleCheck::ConsoleCheck(SerialLayer& port) : check_(port, *this) {
    QObject::connect(&Timer1, &QTimer::timeout, [this] { check_.tick(); });
}

ConsoleCheck::Result ConsoleCheck::run() {
    result_ = Result::Stopped;
    check_.click();
    return result_;
}

void ConsoleCheck::setTimerEnabled(bool enabled) {
    timers_.setReplyEnabled(enabled);
}

void ConsoleCheck::processEvents(bool mayWait) {
    timers_.processEvents(mayWait);
}

void ConsoleCheck::showMessage(std::string_view text) {
    result_ = Result::Failed;
    message_ = text;
}

}  // namespace tolvane::send
