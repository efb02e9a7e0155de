#pragma once

#include <memory>

#include "send/route.h"
#include "send/send_options.h"
#include "transport/transport.h"

// What needs Qt Network or Qt D-Bus is in a module of its own (tolvane-send-remote.so, in the
// library folder's tolvane/), loaded only when the port is a device server or a running panel
// must be asked: a key sent straight to a device loads neither library.
namespace tolvane::send {

// The module's entry points. The route through a running panel of this user that holds the
// port asked for: its presses and its quiet check, over the session bus. Null when there is no
// session bus or no panel holds that port: the caller opens the port itself.
extern "C" Route* tolvaneSendPanelRoute(const PortChoice& port);
// The transport to a serial device server.
extern "C" Transport* tolvaneSendNetworkTransport();

// The same, for tolvane-send: the module is loaded on first use. Throws Transport::Failure,
// saying why, when it cannot be.
std::unique_ptr<Route> routeThroughPanel(const PortChoice& port);
std::unique_ptr<Transport> networkTransport();

}  // namespace tolvane::send
