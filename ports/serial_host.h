#pragma once

#include <QString>

#include "ports/port_mapping.h"

namespace tolvane {

// What the real serial layer asks of the operating system; each system has its own source file.

// The system whose device names a Comm item maps to.
HostSystem hostSystem();

// Said after a refused open: the likely cause, judged from the device's access rights.
QString permissionHint(const QString& device);

// Said after a failed open, besides the reason: the usual culprits that fit (the device's group,
// brltty, ModemManager), each with its fix. error is the system's error number, or 0.
QString openFailureHint(const QString& device, int error);

}  // namespace tolvane
