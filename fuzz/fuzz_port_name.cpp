#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ports/port_mapping.h"

// Any name is a device (kept as given), a usable network address, or refused with a reason.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    const tolvane::PortAddress address = tolvane::parsePortName(name);
    using Kind = tolvane::PortAddress::Kind;
    switch (address.kind) {
        case Kind::SerialDevice:
            if (address.path != name) std::abort();
            break;
        case Kind::Tcp:
        case Kind::Rfc2217:
            if (address.port == 0 || address.host.empty() || !address.problem.empty()) std::abort();
            if (address.host.find_first_of("[]/ ") != std::string::npos) std::abort();
            break;
        case Kind::Invalid:
            if (address.problem.empty()) std::abort();
            break;
    }
    return 0;
}
