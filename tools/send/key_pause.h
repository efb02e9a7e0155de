#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstddef>

#include "process/stop_requests.h"

namespace tolvane::send {

// Before each key: a stop asked for so far is seen here, between keys, never inside one; after
// the first key, the --delay pause, which a stop cuts short. False once a stop was asked for.
inline bool readyForKey(std::size_t sent, std::chrono::milliseconds delay, StopRequests& stops,
                        const int& stopStatus) {
    QCoreApplication::processEvents();
    if (sent > 0 && delay.count() > 0 && stopStatus == 0) {
        QEventLoop pause;
        QTimer::singleShot(delay, Qt::PreciseTimer, &pause, &QEventLoop::quit);
        QObject::connect(&stops, &StopRequests::stopRequested, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return stopStatus == 0;
}

}  // namespace tolvane::send
