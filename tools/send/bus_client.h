#pragma once

#include <optional>

#include "process/stop_requests.h"
#include "send/send_options.h"

namespace tolvane::send {

// Sends the keys, or runs the check, through a running panel of this user that holds the port
// asked for, as presses of its own; the exit status then. nullopt when there is no session bus
// or no panel holds that port: the caller opens the port itself. `stopStatus` turns non-zero
// once a stop is asked for.
std::optional<int> throughPanel(const SendOptions& options, StopRequests& stops,
                                const int& stopStatus);

}  // namespace tolvane::send
