#include "bus/panel_service.h"

#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
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

// How long a press may wait for a lagging line before the caller hears it failed.
constexpr std::chrono::milliseconds kPressTimeout{10000};

// One Press call waiting for the fates of its presses; it answers once all are known, and goes:
// success once all are with the system; otherwise the panel's message, how many went, and why
// the rest did not. A press that has not begun when the call gives up is withdrawn, so it never
// goes after the caller heard it failed.
class PressCall : public QObject {
  public:
    PressCall(QObject* parent, SerialLayer& port, const QDBusConnection& bus,
              const QDBusMessage& call, std::size_t total)
        : QObject(parent), port_(port), bus_(bus), call_(call), total_(total) {
        limit_.setSingleShot(true);
        connect(&limit_, &QTimer::timeout, this, [this] {
            giveUp(QStringLiteral("the line did not take the keys within %1 s")
                       .arg(kPressTimeout.count() / 1000));
        });
        limit_.start(kPressTimeout);
    }

    void tell(bool sent) {
        if (sent) ++sent_;
        if (++told_ != total_) return;
        limit_.stop();
        if (sent_ == total_) {
            bus_.send(call_.createReply());
        } else {
            bus_.send(
                call_.createErrorReply(QLatin1String(kErrorPort),
                                       QStringLiteral("%1 (%2 of %3 keys were sent)")
                                           .arg(why_.isEmpty() ? qstr(kWriteFailedMessage) : why_)
                                           .arg(sent_)
                                           .arg(total_)));
        }
        deleteLater();
    }
    // Withdraws the presses that have not begun, and counts `notMade` more as not sent.
    void giveUp(const QString& why, std::size_t notMade = 0) {
        why_ = why;
        for (const auto id : ids) port_.withdraw(id);
        for (; notMade > 0; --notMade) tell(false);
    }

    std::vector<SerialLayer::PressId> ids;

  private:
    SerialLayer& port_;
    QDBusConnection bus_;
    QDBusMessage call_;
    QTimer limit_;
    QString why_;
    std::size_t total_, told_ = 0, sent_ = 0;
};

}  // namespace

PanelService::PanelService(PortManager& owner, std::function<void()> raise)
    : owner_(owner), raise_(std::move(raise)), check_(owner.port()), bus_(QString()) {
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
    press(keys, std::nullopt);
}

void PanelService::PressOn(const QString& device, const QStringList& keys) {
    press(keys, device);
}

void PanelService::press(const QStringList& keys, const std::optional<QString>& device) {
    if (!callerIsOurUser()) return;
    std::vector<std::string> names;
    names.reserve(std::size_t(keys.size()));
    for (const QString& key : keys) names.push_back(key.toStdString());
    const auto rows = keyRowsFor(names);
    if (const auto* refusal = std::get_if<std::string>(&rows)) {
        sendErrorReply(QLatin1String(kErrorUnknownKey), qstr(*refusal));
        return;
    }
    // Meant for a device the panel no longer uses: nothing goes.
    if (device && *device != this->device()) {
        sendErrorReply(QLatin1String(kErrorOtherDevice), this->device());
        return;
    }
    const auto& wanted = std::get<std::vector<std::size_t>>(rows);
    setDelayedReply(true);
    // It deletes itself once it has answered, but not before this returns: no events run here.
    auto* call = new PressCall(this, owner_.port(), connection(), message(), wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        try {
            call->ids.push_back(
                sendKey(owner_.port(), kKeys.at(wanted[i]), [alive = QPointer(call)](bool sent) {
                    if (alive) alive->tell(sent);
                }));
        } catch (const SerialError& error) {
            // Refused at once: this press and those after it are not made.
            call->giveUp(qstr(messageFor(error.kind())), wanted.size() - i);
            return;
        }
    }
}

void PanelService::Raise() {
    if (!callerIsOurUser()) return;
    qCInfo(lcBus) << "raised by a second start for the same port";
    if (raise_) raise_();
}

bool PanelService::Check() {
    if (!callerIsOurUser()) return false;
    if (owner_.ownCheckWaiting() || check_.waiting()) {
        sendErrorReply(QLatin1String(kErrorBusy),
                       owner_.ownCheckWaiting()
                           ? QStringLiteral("a check started in the panel is waiting for its reply")
                           : QStringLiteral("another check is waiting"));
        return false;
    }
    setDelayedReply(true);
    check_.start([bus = connection(), call = message()](QuietCheck::Result result,
                                                        std::string_view why) {
        using enum QuietCheck::Result;
        bus.send(result == Responding || result == NotResponding
                     ? call.createReply(result == Responding)
                     : call.createErrorReply(
                           QLatin1String(result == Failed ? kErrorPort : kErrorBusy), qstr(why)));
    });
    return false;
}

}  // namespace tolvane::bus
