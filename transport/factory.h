#pragma once

#include <memory>

#include "ports/port_mapping.h"
#include "transport/transport.h"

namespace tolvane {

// The transport that reaches what an address names: the one place that picks it, for the panel
// and tolvane-send alike.
std::unique_ptr<Transport> makeTransport(const PortAddress& address);

}  // namespace tolvane
