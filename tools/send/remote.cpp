// The module tolvane-send loads for a device server or a running panel: see remote.h.
#include "send/remote.h"

#include <unistd.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <string>

#include "bus/bus_names.h"
#include "ports/port_catalogue.h"
#include "ports/port_mapping.h"
#include "protocol/key_table.h"
#include "transport/network_transport.h"

namespace tolvane::send {
namespace {

using namespace tolvane::bus;

// A press returns once its frames are queued; this only bounds a panel that hangs.
constexpr std::chrono::milliseconds kPressTimeout{10000};
// The panel replies a second after its probe at the latest.
constexpr std::chrono::milliseconds kCheckTimeout{5000};

QDBusMessage callTo(const QString& panel, const char* method) {
    return QDBusMessage::createMethodCall(panel, QLatin1String(kObjectPath),
                                          QLatin1String(kInterface), QLatin1String(method));
}

// The panel's own message for a port failure, as tolvane-send prints its own; anything else
// with where it came from.
Failure failureOf(const QString& panel, const QDBusError& error) {
    if (error.name() == QLatin1String(kErrorPort)) return {error.message().toStdString(), {}};
    return {{}, QStringLiteral("the panel %1: %2").arg(panel, error.message()).toStdString()};
}

class BusRoute final : public Route {
  public:
    BusRoute(const QDBusConnection& bus, const QString& panel, const QString& device)
        : bus_(bus), panel_(panel), device_(device) {}

    // Every key is for the device the panel held when this began: a panel switched to another
    // one meanwhile presses nothing more.
    std::optional<Failure> press(std::size_t row) override {
        QDBusMessage call = callTo(panel_, "PressOn");
        const std::string_view control = kKeys[row].control;
        call << device_
             << QStringList{QString::fromLatin1(control.data(), qsizetype(control.size()))};
        const QDBusMessage reply = bus_.call(call, QDBus::Block, int(kPressTimeout.count()));
        if (reply.type() == QDBusMessage::ReplyMessage) return std::nullopt;
        if (reply.errorName() == QLatin1String(kErrorOtherDevice))
            return Failure{{},
                           {},
                           printable(QFile::encodeName(device_).toStdString()),
                           printable(QFile::encodeName(reply.errorMessage()).toStdString())};
        return failureOf(panel_, QDBusError(reply));
    }

    void check(CheckDone done) override {
        checking_ = std::make_unique<QDBusPendingCallWatcher>(
            bus_.asyncCall(callTo(panel_, "Check"), int(kCheckTimeout.count())));
        QObject::connect(checking_.get(), &QDBusPendingCallWatcher::finished, [this, done] {
            const QDBusPendingReply<bool> reply = *checking_;
            if (reply.isError()) return done(CheckResult::Failed, failureOf(panel_, reply.error()));
            done(reply.value() ? CheckResult::Responding : CheckResult::NotResponding, {});
        });
    }

  private:
    QDBusConnection bus_;
    QString panel_;
    QString device_;
    std::unique_ptr<QDBusPendingCallWatcher> checking_;
};

}  // namespace

extern "C" Route* tolvaneSendPanelRoute(const PortChoice& choice) {
    // With no bus to look on, Qt D-Bus is not started at all: its first use starts a thread.
    if (!sessionBusAddress()) return nullptr;
    QDBusConnection bus = connectToSessionBus(QStringLiteral("tolvane-send"));
    if (!bus.isConnected()) return nullptr;
    const QByteArray port = choice.device.empty()
                                ? QByteArray::fromStdString(addressForPort(choice.comm).path)
                                : QByteArray::fromStdString(choice.device);
    QString device;
    const QString panel = panelHolding(bus, port, device);
    if (panel.isEmpty()) return nullptr;
    return new BusRoute(bus, panel, device);
}

extern "C" Transport* tolvaneSendNetworkTransport() {
    return new NetworkTransport();
}

}  // namespace tolvane::send
