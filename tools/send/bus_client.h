#pragma once

#include <memory>

#include "send/route.h"
#include "send/send_options.h"

namespace tolvane::send {

// The route through a running panel of this user that holds the port asked for: its presses and
// its quiet check, over the session bus. Null when there is no session bus or no panel holds
// that port: the caller opens the port itself.
std::unique_ptr<Route> routeThroughPanel(const PortChoice& port);

}  // namespace tolvane::send
