#include "platform/serial_host.h"

#include <unistd.h>

#include <QFile>

namespace tolvane {

HostSystem hostSystem() {
    return HostSystem::Linux;
}

QString permissionHint(const QString& device) {
    if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0)
        return QStringLiteral(" (is the user in the dialout group?)");
    return QStringLiteral(" (is another program using the port?)");
}

}  // namespace tolvane
