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

#include "protocol/hex_text.h"

namespace tolvane {
namespace {

// Where udev names each USB serial adapter by maker, model, serial number and interface.
const char* const kByIdFolder = "/dev/serial/by-id";

std::string hex4(quint16 id) {
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toStdString();
}

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
    for (const PresentPort& port : presentPorts(false))
        if (port.device == facts.device)
            facts.stableNames.push_back(std::string(kByIdFolder) + "/" + port.identity.byId);
    return facts;
}

std::optional<std::string> findAdapter(const PortIdentity& wanted,
                                       std::span<const PresentPort> present) {
    if (!wanted.byId.empty())
        for (const PresentPort& port : present)
            if (port.identity.byId == wanted.byId) return port.device;
    if (wanted.serialNumber.empty()) return std::nullopt;
    std::optional<std::string> found;
    for (const PresentPort& port : present) {
        const PortIdentity& is = port.identity;
        if (is.vendorId != wanted.vendorId || is.productId != wanted.productId ||
            is.serialNumber != wanted.serialNumber)
            continue;
        // Two ports of one adapter share its serial number; which one was ours cannot be told.
        if (found) return std::nullopt;
        found = port.device;
    }
    return found;
}

std::vector<PresentPort> presentPorts(bool details) {
    std::vector<PresentPort> ports;
    const QDir byId(QString::fromLatin1(kByIdFolder));
    for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files))
        if (const QString target = link.canonicalFilePath(); !target.isEmpty())
            ports.push_back({QFile::encodeName(target).toStdString(),
                             {QFile::encodeName(link.fileName()).toStdString(), {}, {}, {}}});
    if (!details) return ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const std::string device = QFile::encodeName(info.systemLocation()).toStdString();
        auto port = std::find_if(ports.begin(), ports.end(),
                                 [&](const PresentPort& p) { return p.device == device; });
        if (port == ports.end()) port = ports.insert(ports.end(), PresentPort{device, {}});
        if (info.hasVendorIdentifier()) port->identity.vendorId = hex4(info.vendorIdentifier());
        if (info.hasProductIdentifier()) port->identity.productId = hex4(info.productIdentifier());
        port->identity.serialNumber = info.serialNumber().toStdString();
    }
    return ports;
}

PortIdentity identityOf(const std::string& device) {
    // A pseudo-terminal is nobody's adapter, and looking up every port would slow each open.
    if (device.starts_with("/dev/pts/")) return {};
    for (const PresentPort& port : presentPorts(true))
        if (port.device == device) return port.identity;
    return {};
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

std::vector<std::string> openFailureHints(const OpenFailureFacts& facts) {
    using Why = OpenFailureFacts::Why;
    std::vector<std::string> hints;
    if (facts.why == Why::Denied && !facts.deviceGroup.empty() && !facts.inDeviceGroup)
        hints.push_back("you are not in the group " + facts.deviceGroup +
                        " of the device: sudo usermod -aG " + facts.deviceGroup +
                        " $USER, then log out and in again");
    else if (facts.why == Why::Denied)
        hints.push_back(facts.mayAccess ? "is another program using the port?"
                                        : "is the user in the dialout group?");
    // brltty takes some adapters as braille displays: the device vanishes or is held.
    if (facts.brlttyInstalled && facts.usbAdapter &&
        (facts.why == Why::Missing || facts.why == Why::Busy))
        hints.push_back(
            "brltty is installed and claims some USB serial adapters: sudo apt-get remove "
            "brltty (unless a braille display needs it)");
    // ModemManager probes a new adapter for a few seconds and holds it meanwhile.
    if (facts.modemManagerRunning && (facts.why == Why::Busy || facts.why == Why::Denied))
        hints.push_back(
            "ModemManager is running and may be probing the port: sudo systemctl stop "
            "ModemManager");
    return hints;
}

std::string joinHints(const std::vector<std::string>& hints) {
    std::string text;
    for (const std::string& hint : hints)
        text += hint.ends_with('?') ? " (" + hint + ")" : "; " + hint;
    return text;
}

}  // namespace tolvane
