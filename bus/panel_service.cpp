#include "bus/panel_service.h"

#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTimer>
#include <string>
#include <vector>

#include "bus/key_list.h"
#include "protocol/key_table.h"
#include "serial/messages.h"
#include "serial/port_manager.h"

Q_LOGGING_CATEGORY(lcBus, "tolvane.bus", QtInfoMsg)

namespace tolvane::bus {
namespace {

// How long a press may wait for a lagging line before the caller hears it failed, and how often
// the line is looked at meanwhile.
constexpr std::chrono::milliseconds kPressTimeout{10000};
constexpr std::chrono::milliseconds kPressPoll{10};

QString qstr(std::string_view s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

}  // namespace

PanelService::PanelService(PortManager& owner)
    : owner_(owner), check_(owner.port()), bus_(QString()) {
    owner_.ownCheckStarting = [this] {
        check_.interrupt("Check Connection was clicked in the panel");
    };
}

PanelService::~PanelService() {
    owner_.ownCheckStarting = nullptr;
    check_.interrupt("the panel is closing");
    if (!bus_.isConnected()) return;
    if (!name_.isEmpty()) bus_.interface()->unregisterService(name_);
    bus_.unregisterObject(QLatin1String(kObjectPath));
    QDBusConnection::disconnectFromBus(bus_.name());
}

void PanelService::publish() {
    bus_ = connectToSessionBus(QStringLiteral("tolvane-panel"));
    if (!bus_.isConnected()) {
        qCDebug(lcBus) << "no session bus: the panel is not offered on one";
        return;
    }
    // The object first: whoever sees the name finds the object behind it.
    if (!bus_.registerObject(
            QLatin1String(kObjectPath), this,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)) {
        qCWarning(lcBus) << "cannot offer the panel on the session bus:"
                         << bus_.lastError().message();
        return;
    }
    for (const QString& name :
         {QString::fromLatin1(kServiceName),
          QString::fromLatin1(kInstancePrefix) + QString::number(::getpid())}) {
        const auto reply =
            bus_.interface()->registerService(name, QDBusConnectionInterface::DontQueueService,
                                              QDBusConnectionInterface::DontAllowReplacement);
        if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
            name_ = name;
            qCDebug(lcBus).noquote() << "on the session bus as" << name_;
            return;
        }
    }
    qCWarning(lcBus) << "no name on the session bus for the panel";
}

QString PanelService::commItem() const {
    const int item = owner_.chosenItem();
    return item == 0 ? QString() : QStringLiteral("Comm%1").arg(item);
}

bool PanelService::portOpen() const {
    return owner_.port().PortOpen();
}

QString PanelService::device() const {
    return QFile::decodeName(QByteArray::fromStdString(owner_.port().where()));
}

// The session bus is the user's own; this holds even if it was set up to admit others.
bool PanelService::callerIsOurUser() {
    const auto uid = connection().interface()->serviceUid(message().service());
    if (uid.isValid() && uid.value() == ::getuid()) return true;
    sendErrorReply(QDBusError::AccessDenied,
                   QStringLiteral("only the panel's own user may use it"));
    return false;
}

void PanelService::Press(const QStringList& keys) {
    if (!callerIsOurUser()) return;
    std::vector<std::string> names;
    names.reserve(std::size_t(keys.size()));
    for (const QString& key : keys) names.push_back(key.toStdString());
    const auto rows = keyRowsFor(names);
    if (const auto* refusal = std::get_if<std::string>(&rows)) {
        sendErrorReply(QLatin1String(kErrorUnknownKey), qstr(*refusal));
        return;
    }
    for (const std::size_t row : std::get<std::vector<std::size_t>>(rows)) {
        if (const auto failure = owner_.pressKeyQuietly(kKeys.at(row))) {
            sendErrorReply(QLatin1String(kErrorPort), qstr(*failure));
            return;
        }
    }
    if (owner_.port().OutBufferCount() == 0) return;
    // The line lags: the caller hears "sent" only once the keys are with the system, and hears
    // of a port that goes away before that.
    setDelayedReply(true);
    auto* wait = new QTimer(this);
    const QDeadlineTimer deadline(kPressTimeout);
    connect(
        wait, &QTimer::timeout, this, [this, wait, deadline, bus = connection(), call = message()] {
            SerialLayer& port = owner_.port();
            if (!port.PortOpen())
                bus.send(
                    call.createErrorReply(QLatin1String(kErrorPort), qstr(kWriteFailedMessage)));
            else if (port.OutBufferCount() == 0)
                bus.send(call.createReply());
            else if (deadline.hasExpired())
                bus.send(call.createErrorReply(
                    QLatin1String(kErrorPort),
                    QStringLiteral("the line did not take the keys within %1 s")
                        .arg(kPressTimeout.count() / 1000)));
            else
                return;
            wait->deleteLater();
        });
    wait->start(kPressPoll);
}

bool PanelService::Check() {
    if (!callerIsOurUser()) return false;
    if (owner_.ownCheckWaiting()) {
        sendErrorReply(QLatin1String(kErrorBusy),
                       QStringLiteral("a check started in the panel is waiting for its reply"));
        return false;
    }
    if (check_.waiting()) {
        sendErrorReply(QLatin1String(kErrorBusy), QStringLiteral("another check is waiting"));
        return false;
    }
    setDelayedReply(true);
    check_.start(
        [bus = connection(), call = message()](QuietCheck::Result result, std::string_view why) {
            switch (result) {
                case QuietCheck::Result::Responding:
                case QuietCheck::Result::NotResponding:
                    bus.send(call.createReply(result == QuietCheck::Result::Responding));
                    return;
                case QuietCheck::Result::Failed:
                    bus.send(call.createErrorReply(QLatin1String(kErrorPort), qstr(why)));
                    return;
                case QuietCheck::Result::Interrupted:
                    bus.send(call.createErrorReply(QLatin1String(kErrorBusy), qstr(why)));
                    return;
            }
        });
    return false;
}

}  // namespace tolvane::bus
