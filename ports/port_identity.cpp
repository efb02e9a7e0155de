#include "ports/port_identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>

namespace tolvane {
namespace {

// Where udev names each USB serial adapter by maker, model, serial number and interface.
const char* const kByIdFolder = "/dev/serial/by-id";

std::string hex4(quint16 id) {
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toStdString();
}

}  // namespace

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
    if (device.rfind("/dev/pts/", 0) == 0) return {};
    for (const PresentPort& port : presentPorts(true))
        if (port.device == device) return port.identity;
    return {};
}

}  // namespace tolvane
