#include "serial/check_timers.h"

#include <QCoreApplication>

#include "serial/connection_check.h"

namespace tolvane {

CheckTimers::CheckTimers(QTimer& reply) : reply_(reply) {
    reply_.setInterval(kReplyTimeout);
    reply_.setTimerType(Qt::PreciseTimer);
    bound_.setSingleShot(true);
    bound_.setInterval(kWaitBound);
    bound_.setTimerType(Qt::PreciseTimer);
}

void CheckTimers::setReplyEnabled(bool enabled) {
    if (!enabled)
        reply_.stop();
    else if (!reply_.isActive())
        reply_.start();
}

void CheckTimers::processEvents(bool mayWait) {
    if (!mayWait) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // The bound's own event ends the sleep if nothing else does.
    bound_.start();
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    bound_.stop();
}

}  // namespace tolvane
