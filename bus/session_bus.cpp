#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cctype>
#include <cstring>

#include "bus/bus_names.h"

namespace tolvane::bus {
namespace {

// A value in a D-Bus address: every byte but these few is written %XX.
QString addressValue(const QByteArray& bytes) {
    QString out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || std::strchr("-_/.\\*", c))
            out += QLatin1Char(c);
        else
            out += QStringLiteral("%%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return out;
}

}  // namespace

bool isPanelName(const QString& name) {
    return name == QLatin1String(kServiceName) || name.startsWith(QLatin1String(kInstancePrefix));
}

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
    return QStringLiteral("unix:path=") + addressValue(socket);
}

QDBusConnection connectToSessionBus(const QString& connectionName) {
    const auto address = sessionBusAddress();
    if (!address) return QDBusConnection(connectionName);
    QDBusConnection bus = QDBusConnection::connectToBus(*address, connectionName);
    if (!bus.isConnected()) QDBusConnection::disconnectFromBus(connectionName);
    return bus;
}

}  // namespace tolvane::bus
