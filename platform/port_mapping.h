#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolvane {

enum class HostSystem { Linux, Windows };

// The device behind COMn: the override (from TOLVANE_COMn) when one is set; on Windows "COMn";
// on Linux the n-th present serial port in natural order (ttyS before ttyUSB before ttyACM,
// numbers ascending), or /dev/ttyS<n-1> when fewer than n are present.
std::string deviceForPort(int port, const std::optional<std::string>& override,
                          const std::vector<std::string>& presentPorts, HostSystem system);

// Sorts device paths into the natural order used above.
std::vector<std::string> naturalPortOrder(std::vector<std::string> ports);

}  // namespace tolvane
