#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>

#include "bus/bus_names.h"
#include "lock/lock_file.h"
#include "ports/port_mapping.h"

namespace tolvane::bus {
namespace {

// A panel that does not answer within this is passed over.
constexpr int kLookupTimeoutMs = 2000;

// The same port: the same device file, links followed, or the same network address.
bool samePort(const QByteArray& a, const QByteArray& b) {
    const PortAddress x = parsePortName(a.toStdString());
    const PortAddress y = parsePortName(b.toStdString());
    if (x.kind != y.kind || x.kind == PortAddress::Kind::Invalid) return false;
    if (x.kind != PortAddress::Kind::SerialDevice)
        return x.port == y.port && QString::fromStdString(x.host).compare(
                                       QString::fromStdString(y.host), Qt::CaseInsensitive) == 0;
    // A name such as "ttyUSB0" or "pts/3" is a device under /dev, as the port opens it.
    const auto canonical = [](const QByteArray& name) {
        const std::string path = devicePathForName(name.toStdString());
        return QFileInfo(QFile::decodeName(QByteArray::fromStdString(path))).canonicalFilePath();
    };
    const QString device = canonical(a);
    return !device.isEmpty() && device == canonical(b);
}

}  // namespace

std::optional<QString> sessionBusAddress() {
    if (const QByteArray given = qgetenv("DBUS_SESSION_BUS_ADDRESS"); !given.isEmpty())
        return QString::fromLocal8Bit(given);
    // Where a login session's bus lives, as libdbus itself looks for it: cron and other
    // programs outside the session reach it without the variable.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.isEmpty()) return std::nullopt;
    const QByteArray socket = runtime + "/bus";
    struct stat status {};
    if (::stat(socket.constData(), &status) != 0 || !S_ISSOCK(status.st_mode) ||
        status.st_uid != ::getuid())
        return std::nullopt;
    // A value in a D-Bus address: every byte but letters, digits and -_/.\* is written %XX.
    return QStringLiteral("unix:path=") +
           QString::fromLatin1(socket.toPercentEncoding("/\\*", "~"));
}

QDBusConnection connectToSessionBus(const QString& connectionName) {
    const auto address = sessionBusAddress();
    if (!address) return QDBusConnection(connectionName);
    QDBusConnection bus = QDBusConnection::connectToBus(*address, connectionName);
    if (!bus.isConnected()) QDBusConnection::disconnectFromBus(connectionName);
    return bus;
}

// The name of a panel of ours that has this port open, or empty; and the port as it names it.
QString panelHolding(QDBusConnection& bus, const QByteArray& port, QString& device) {
    const auto names = bus.interface()->registeredServiceNames();
    if (!names.isValid()) return {};
    for (const QString& name : names.value()) {
        const bool panel =
            name == QLatin1String(kServiceName) || name.startsWith(QLatin1String(kInstancePrefix));
        if (!panel) continue;
        const auto uid = bus.interface()->serviceUid(name);
        if (!uid.isValid() || uid.value() != ::getuid()) continue;
        QDBusMessage get = QDBusMessage::createMethodCall(
            name, QLatin1String(kObjectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("GetAll"));
        get << QString::fromLatin1(kInterface);
        const QDBusMessage reply = bus.call(get, QDBus::Block, kLookupTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) continue;
        const auto properties = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
        device = properties.value(QStringLiteral("Device")).toString();
        if (properties.value(QStringLiteral("PortOpen")).toBool() &&
            samePort(QFile::encodeName(device), port))
            return name;
    }
    return {};
}

}  // namespace tolvane::bus
