#include "transport/factory.h"

#include "transport/device_transport.h"
#include "transport/network_transport.h"

namespace tolvane {

std::unique_ptr<Transport> makeTransport(const PortAddress& address) {
    switch (address.kind) {
        case PortAddress::Kind::Tcp:
        case PortAddress::Kind::Rfc2217:
            return std::make_unique<NetworkTransport>();
        case PortAddress::Kind::SerialDevice:
        case PortAddress::Kind::Invalid:
            break;
    }
    return std::make_unique<DeviceTransport>();
}

}  // namespace tolvane
