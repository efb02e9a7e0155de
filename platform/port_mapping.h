#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolvane {

enum class HostSystem { Linux, Windows };

// What a Comm item stands for: the kind of device and where it is. Every Comm item is a local
// serial device for now; the kind leaves room for devices reached over a network.
struct PortAddress {
    enum class Kind { SerialDevice };
    Kind kind = Kind::SerialDevice;
    std::string path;

    friend bool operator==(const PortAddress&, const PortAddress&) = default;
};

// The device behind COMn: the override (from TOLVANE_COMn) when one is set; on Windows "COMn";
// on Linux the n-th present serial port in natural order (ttyS before ttyUSB before ttyACM,
// numbers ascending), or /dev/ttyS<n-1> when fewer than n are present.
PortAddress deviceForPort(int port, const std::optional<std::string>& override,
                          const std::vector<std::string>& presentPorts, HostSystem system);

// Sorts device paths into the natural order used above.
std::vector<std::string> naturalPortOrder(std::vector<std::string> ports);

}  // namespace tolvane
