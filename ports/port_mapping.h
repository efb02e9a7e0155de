#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvane {

// What a Comm item stands for: a local serial device (path), a serial device server reached
// over TCP, raw or with Telnet's COM-PORT-OPTION (host and port), or a network address that
// cannot be used (problem says why; opening it fails).
struct PortAddress {
    enum class Kind { SerialDevice, Tcp, Rfc2217, Invalid };
    Kind kind = Kind::SerialDevice;
    std::string path;  // the name as given
    std::string host;  // a name or an IPv4 address; IPv6 without its brackets
    std::uint16_t port = 0;
    std::string problem;

    friend bool operator==(const PortAddress&, const PortAddress&) = default;
};

// A name that starts with "tcp://" or "rfc2217://" (either case) is a network address,
// HOST:PORT after the scheme, HOST a name, an IPv4 address or a bracketed IPv6 address, PORT
// 1 to 65535; a malformed one gives Kind::Invalid. Any other name is a serial device.
PortAddress parsePortName(const std::string& name);

// The device behind COMn: the override (from TOLVANE_COMn, see parsePortName) when one is set,
// else the n-th present serial port in natural order (ttyS before ttyUSB before ttyACM, numbers
// ascending), or /dev/ttyS<n-1> when fewer than n are present.
PortAddress deviceForPort(int port, const std::optional<std::string>& override,
                          const std::vector<std::string>& presentPorts);

// Sorts device paths into the natural order used above.
std::vector<std::string> naturalPortOrder(std::vector<std::string> ports);

}  // namespace tolvane
