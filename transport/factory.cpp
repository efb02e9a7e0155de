#include "transport/factory.h"

#include "transport/device_transport.h"
#include "transport/network_transport.h"

namespace tolvane {

std::unique_ptr<Transport> makeTransport(const PortAddress& address) {
    if (address.kind == PortAddress::Kind::Tcp || address.kind == PortAddress::Kind::Rfc2217)
        return std::make_unique<NetworkTransport>();
    return std::make_unique<DeviceTransport>();
}

}  // namespace tolvane
