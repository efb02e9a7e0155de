#include "ports/serial_host.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <vector>

#include "ports/open_hints.h"

namespace tolvane {
namespace {

bool inGroup(gid_t group) {
    if (::getegid() == group) return true;
    std::vector<gid_t> groups(std::size_t(std::max(0, ::getgroups(0, nullptr))));
    const int count = ::getgroups(int(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(0, count), group) !=
           groups.begin() + std::max(0, count);
}

bool processRunning(const QByteArray& name) {
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!pid.front().isDigit()) continue;
        QFile comm(proc.filePath(pid + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readLine().trimmed() == name) return true;
    }
    return false;
}

}  // namespace

HostSystem hostSystem() {
    return HostSystem::Linux;
}

QString permissionHint(const QString& device) {
    if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0)
        return QStringLiteral(" (is the user in the dialout group?)");
    return QStringLiteral(" (is another program using the port?)");
}

QString openFailureHint(const QString& device, int error) {
    using Why = OpenFailureFacts::Why;
    OpenFailureFacts facts;
    if (error == EACCES || error == EPERM)
        facts.why = Why::Denied;
    else if (error == EBUSY || error == EWOULDBLOCK)
        facts.why = Why::Busy;
    else if (error == ENOENT || error == ENODEV || error == ENXIO)
        facts.why = Why::Missing;
    else
        return {};
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    if (::stat(path.constData(), &st) == 0 &&
        (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        if (const group* owner = ::getgrgid(st.st_gid)) {
            facts.deviceGroup = owner->gr_name;
            facts.inDeviceGroup = inGroup(st.st_gid);
        }
    const QString name = QFileInfo(device).fileName();
    facts.usbAdapter = name.startsWith(QLatin1String("ttyUSB")) ||
                       name.startsWith(QLatin1String("ttyACM")) ||
                       device.startsWith(QLatin1String("/dev/serial/by-id/usb-"));
    facts.brlttyInstalled =
        ::access("/usr/bin/brltty", X_OK) == 0 || ::access("/bin/brltty", X_OK) == 0;
    if (facts.why != Why::Missing) facts.modemManagerRunning = processRunning("ModemManager");
    return QString::fromStdString(openFailureHints(facts));
}

}  // namespace tolvane
