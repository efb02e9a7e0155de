#include "ports/port_catalogue.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>
#include <cerrno>
#include <optional>

#include "ports/open_hints.h"
#include "protocol/hex_text.h"

namespace tolvane {
namespace {

bool inGroup(gid_t group) {
    if (::getegid() == group) return true;
    std::vector<gid_t> groups(std::size_t(std::max(0, ::getgroups(0, nullptr))));
    const int count = std::max(0, ::getgroups(int(groups.size()), groups.data()));
    return std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
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

OpenFailureFacts::Why whyFor(int error) {
    using Why = OpenFailureFacts::Why;
    if (error == EACCES || error == EPERM) return Why::Denied;
    if (error == EBUSY || error == EWOULDBLOCK) return Why::Busy;
    if (error == ENOENT || error == ENODEV || error == ENXIO) return Why::Missing;
    return Why::Other;
}

}  // namespace

PortAddress addressForPort(int port) {
    const QByteArray variable = "TOLVANE_COM" + QByteArray::number(port);
    std::optional<std::string> override;
    if (qEnvironmentVariableIsSet(variable.constData()))
        override = qgetenv(variable.constData()).toStdString();
    std::vector<std::string> present;
    if (!override)
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            present.push_back(QFile::encodeName(info.systemLocation()).toStdString());
    return deviceForPort(port, override, present);
}

DeviceFacts deviceFacts(const std::string& name) {
    DeviceFacts facts;
    const QString target =
        QFileInfo(QFile::decodeName(QByteArray::fromStdString(name))).canonicalFilePath();
    facts.present = !target.isEmpty();
    if (!facts.present) return facts;
    facts.device = QFile::encodeName(target).toStdString();
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (QFileInfo(info.systemLocation()).canonicalFilePath() != target) continue;
        facts.maker = info.manufacturer().toStdString();
        facts.serialNumber = info.serialNumber().toStdString();
    }
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files))
        if (link.canonicalFilePath() == target)
            facts.stableNames.push_back(QFile::encodeName(link.absoluteFilePath()).toStdString());
    return facts;
}

std::string describeAddress(const PortAddress& address) {
    const std::string name = printable(address.path);
    switch (address.kind) {
        case PortAddress::Kind::Tcp:
            return name + ": a serial device server, raw TCP";
        case PortAddress::Kind::Rfc2217:
            return name + ": a serial device server, line set over Telnet (RFC 2217)";
        case PortAddress::Kind::Invalid:
            return name + ": " + address.problem;
        case PortAddress::Kind::SerialDevice:
            break;
    }
    const DeviceFacts facts = deviceFacts(address.path);
    if (!facts.present) return name + ": nothing is there";
    std::string text = name;
    if (facts.device != address.path) text += " (" + printable(facts.device) + ")";
    if (!facts.maker.empty()) text += ": " + facts.maker;
    if (!facts.serialNumber.empty())
        text += (facts.maker.empty() ? ": " : ", ") + ("serial number " + facts.serialNumber);
    return text;
}

std::vector<std::string> openFailureHints(const PortAddress& address, int error) {
    using Why = OpenFailureFacts::Why;
    if (address.kind != PortAddress::Kind::SerialDevice) return {};
    OpenFailureFacts facts;
    facts.why = whyFor(error);
    if (facts.why == Why::Other) return {};
    const std::string& device = address.path;
    struct stat st {};
    if (::stat(device.c_str(), &st) == 0 &&
        (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        if (const group* owner = ::getgrgid(st.st_gid)) {
            facts.deviceGroup = owner->gr_name;
            facts.inDeviceGroup = inGroup(st.st_gid);
        }
    facts.mayAccess = ::access(device.c_str(), R_OK | W_OK) == 0;
    const std::string name = device.substr(device.rfind('/') + 1);
    facts.usbAdapter = name.starts_with("ttyUSB") || name.starts_with("ttyACM") ||
                       device.starts_with("/dev/serial/by-id/usb-");
    facts.brlttyInstalled =
        ::access("/usr/bin/brltty", X_OK) == 0 || ::access("/bin/brltty", X_OK) == 0;
    if (facts.why != Why::Missing) facts.modemManagerRunning = processRunning("ModemManager");
    return openFailureHints(facts);
}

}  // namespace tolvane
