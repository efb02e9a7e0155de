#include "platform/device_lock.h"

namespace tolvane {

// The system opens a COM port for one program at a time: there is nothing to claim beside it.
void DeviceLock::acquire(const QByteArray& name) {
    path_ = QString::fromLocal8Bit(name);
}

void DeviceLock::makeExclusive() {}

void DeviceLock::release() {
    path_.clear();
}

}  // namespace tolvane
