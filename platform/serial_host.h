#pragma once

#include <QString>

#include "platform/port_mapping.h"

namespace tolvane {

// What the real serial layer asks of the operating system; each system has its own source file.

// The system whose device names a Comm item maps to.
HostSystem hostSystem();

// Said after a refused open: the likely cause, judged from the device's access rights.
QString permissionHint(const QString& device);

}  // namespace tolvane
