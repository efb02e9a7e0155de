// bus/: the panel on the user's session bus, and the way there for the panel and tolvane-send.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <optional>

namespace tolvane::bus {

// The first panel takes the application id as its name; each later one the id followed by
// ".instance" and its process id. Every panel serves the same object.
inline constexpr char kServiceName[] = TOLVANE_BUS_NAME;
inline constexpr char kInstancePrefix[] = TOLVANE_BUS_NAME ".instance";
inline constexpr char kObjectPath[] = TOLVANE_BUS_PATH;
inline constexpr char kInterface[] = TOLVANE_BUS_NAME;

// An unknown key name, or none: nothing was pressed.
inline constexpr char kErrorUnknownKey[] = TOLVANE_BUS_NAME ".Error.UnknownKey";
// The port failed; the message is the one the panel shows in its box.
inline constexpr char kErrorPort[] = TOLVANE_BUS_NAME ".Error.Port";
// PressOn named a device the panel no longer uses; the message is the one it uses now.
inline constexpr char kErrorOtherDevice[] = TOLVANE_BUS_NAME ".Error.OtherDevice";
// A check cannot run now, or was cut short by one of the panel's own.
inline constexpr char kErrorBusy[] = TOLVANE_BUS_NAME ".Error.Busy";

// The user's session bus: DBUS_SESSION_BUS_ADDRESS, or else the socket "bus" in
// XDG_RUNTIME_DIR when it is there and ours. Nothing is started to make one.
std::optional<QString> sessionBusAddress();

// The name of a panel of this user that has `port` open (the same device file, links followed,
// or the same network address), or empty; `device` is the port as that panel names it.
QString panelHolding(QDBusConnection& bus, const QByteArray& port, QString& device);

// A connection of its own (by that name) to the session bus; not connected when there is no
// bus or it cannot be reached.
QDBusConnection connectToSessionBus(const QString& connectionName);

}  // namespace tolvane::bus
