#pragma once

#include <QByteArray>
#include <QString>

#include "transport/transport.h"

namespace tolvane {

// Claims a serial device for this process while the port is open, so that no second program,
// nor a second panel under another name for the same device, writes on the same line.
class DeviceLock {
  public:
    DeviceLock() = default;
    ~DeviceLock() { release(); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Resolves the name, taken as bytes (see devicePathForName), to its device and claims it.
    // Refuses a device that another program holds: a live lock file of a program that keeps
    // to the UUCP convention, or a flock() on the device. Lock files of programs that are gone
    // are removed. Throws Transport::Failure: the reason, for the warning on standard error.
    void acquire(const QByteArray& name);
    // The path to hand QSerialPort: the device itself, whatever name it was given by, so that
    // Qt's lock file is named after the device and its name is always short enough.
    QString path() const { return path_; }
    // Once the port is open: the terminal refuses further opens too (root is let through, but
    // the lock above stops a panel run as root).
    void makeExclusive();
    void release();

  private:
    int fd_ = -1;
    unsigned long rdev_ = 0;  // the device's number, while held
    QString path_;
};

}  // namespace tolvane
