#include "send/bus_client.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <cstdio>
#include <string>

#include "bus/bus_names.h"
#include "ports/port_catalogue.h"
#include "ports/port_mapping.h"
#include "protocol/key_table.h"
#include "send/key_pause.h"
#include "serial/messages.h"

namespace tolvane::send {
namespace {

using namespace tolvane::bus;

// A panel that does not answer within this is passed over.
constexpr std::chrono::milliseconds kLookupTimeout{2000};
// A press returns once its frames are queued; this only bounds a panel that hangs.
constexpr std::chrono::milliseconds kPressTimeout{10000};
// The panel replies a second after its probe at the latest.
constexpr std::chrono::milliseconds kCheckTimeout{5000};

void note(const QString& text) {
    std::fprintf(stderr, "tolvane-send: %s\n", text.toLocal8Bit().constData());
}

// The same port: the same device file, links followed, or the same network address.
bool samePort(const QByteArray& a, const QByteArray& b) {
    const PortAddress x = parsePortName(a.toStdString());
    const PortAddress y = parsePortName(b.toStdString());
    if (x.kind != y.kind || x.kind == PortAddress::Kind::Invalid) return false;
    if (x.kind != PortAddress::Kind::SerialDevice)
        return x.port == y.port && QString::fromStdString(x.host).compare(
                                       QString::fromStdString(y.host), Qt::CaseInsensitive) == 0;
    const QString device = QFileInfo(QFile::decodeName(a)).canonicalFilePath();
    return !device.isEmpty() && device == QFileInfo(QFile::decodeName(b)).canonicalFilePath();
}

QDBusMessage callTo(const QString& panel, const char* method) {
    return QDBusMessage::createMethodCall(panel, QLatin1String(kObjectPath),
                                          QLatin1String(kInterface), QLatin1String(method));
}

// The name of a panel of ours that has this port open, or empty.
QString panelHolding(QDBusConnection& bus, const QByteArray& port) {
    const auto names = bus.interface()->registeredServiceNames();
    if (!names.isValid()) return {};
    for (const QString& name : names.value()) {
        if (!isPanelName(name)) continue;
        const auto uid = bus.interface()->serviceUid(name);
        if (!uid.isValid() || uid.value() != ::getuid()) continue;
        QDBusMessage get = QDBusMessage::createMethodCall(
            name, QLatin1String(kObjectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("GetAll"));
        get << QString::fromLatin1(kInterface);
        const QDBusMessage reply = bus.call(get, QDBus::Block, int(kLookupTimeout.count()));
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) continue;
        const auto properties = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
        if (properties.value(QStringLiteral("PortOpen")).toBool() &&
            samePort(QFile::encodeName(properties.value(QStringLiteral("Device")).toString()),
                     port))
            return name;
    }
    return {};
}

// The panel's own message for a port failure, as tolvane-send prints its own; anything else
// with where it came from.
void reportError(const QString& panel, const QDBusError& error) {
    if (error.name() == QLatin1String(kErrorPort))
        std::fprintf(stderr, "%s\n", error.message().toLocal8Bit().constData());
    else
        note(QStringLiteral("the panel %1: %2").arg(panel, error.message()));
}

int press(QDBusConnection& bus, const QString& panel, const SendOptions& options,
          StopRequests& stops, const int& stopStatus) {
    std::size_t sent = 0;
    for (const std::size_t row : options.keys) {
        if (!readyForKey(sent, options.delay, stops, stopStatus)) break;
        QDBusMessage call = callTo(panel, "Press");
        const std::string_view control = kKeys[row].control;
        call << QStringList{QString::fromLatin1(control.data(), qsizetype(control.size()))};
        const QDBusMessage reply = bus.call(call, QDBus::Block, int(kPressTimeout.count()));
        if (reply.type() != QDBusMessage::ReplyMessage) {
            reportError(panel, QDBusError(reply));
            if (sent > 0)
                note(QStringLiteral("%1 of %2 keys were sent before")
                         .arg(sent)
                         .arg(options.keys.size()));
            return kExitPortFailed;
        }
        ++sent;
    }
    if (stopStatus != 0) {
        note(QStringLiteral("stopped after %1 of %2 keys").arg(sent).arg(options.keys.size()));
        return stopStatus;
    }
    return kExitSent;
}

int check(QDBusConnection& bus, const QString& panel, StopRequests& stops, const int& stopStatus) {
    QDBusPendingReply<bool> reply =
        bus.asyncCall(callTo(panel, "Check"), int(kCheckTimeout.count()));
    QDBusPendingCallWatcher watcher(reply);
    QEventLoop wait;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &wait, &QEventLoop::quit);
    QObject::connect(&stops, &StopRequests::stopRequested, &wait, &QEventLoop::quit);
    if (!reply.isFinished() && stopStatus == 0) wait.exec();
    if (!reply.isFinished()) {
        note(QStringLiteral("check stopped before a result"));
        return stopStatus != 0 ? stopStatus : kExitPortFailed;
    }
    if (reply.isError()) {
        reportError(panel, reply.error());
        return kExitPortFailed;
    }
    const std::string_view text = reply.value() ? kRespondingText : kNotRespondingText;
    std::printf("%.*s\n", int(text.size()), text.data());
    return reply.value() ? kExitSent : kExitNotResponding;
}

}  // namespace

std::optional<int> throughPanel(const SendOptions& options, StopRequests& stops,
                                const int& stopStatus) {
    if (options.direct) return std::nullopt;
    QDBusConnection bus = connectToSessionBus(QStringLiteral("tolvane-send"));
    if (!bus.isConnected()) return std::nullopt;
    const QByteArray port = options.port.device.empty()
                                ? QByteArray::fromStdString(addressForPort(options.port.comm).path)
                                : QByteArray::fromStdString(options.port.device);
    const QString panel = panelHolding(bus, port);
    if (panel.isEmpty()) return std::nullopt;
    return options.action == Action::Check ? check(bus, panel, stops, stopStatus)
                                           : press(bus, panel, options, stops, stopStatus);
}

}  // namespace tolvane::send
