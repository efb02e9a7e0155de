#include "platform/port_mapping.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <tuple>

namespace tolvane {
namespace {

// Sort key: family (built-in ports, then USB adapters, then modems, then the rest),
// then the stem, then the trailing number as a number.
std::tuple<int, std::string, unsigned long, std::string> sortKey(const std::string& path) {
    std::string_view name(path);
    if (const auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    const std::string stem(name.substr(0, digits));
    const std::string_view number = name.substr(digits);
    unsigned long value = 0;
    for (char c : number.substr(0, 9)) value = value * 10 + static_cast<unsigned long>(c - '0');

    constexpr std::array<std::string_view, 3> kFamilies{"ttyS", "ttyUSB", "ttyACM"};
    int family = static_cast<int>(kFamilies.size());
    for (std::size_t i = 0; i < kFamilies.size(); ++i)
        if (stem == kFamilies[i]) family = static_cast<int>(i);
    return {family, stem, value, path};
}

}  // namespace

std::vector<std::string> naturalPortOrder(std::vector<std::string> ports) {
    std::sort(ports.begin(), ports.end(),
              [](const std::string& a, const std::string& b) { return sortKey(a) < sortKey(b); });
    return ports;
}

PortAddress deviceForPort(int port, const std::optional<std::string>& override,
                          const std::vector<std::string>& presentPorts, HostSystem system) {
    using Kind = PortAddress::Kind;
    if (override) return {Kind::SerialDevice, *override};
    if (system == HostSystem::Windows) return {Kind::SerialDevice, "COM" + std::to_string(port)};
    const auto ordered = naturalPortOrder(presentPorts);
    if (port >= 1 && static_cast<std::size_t>(port) <= ordered.size())
        return {Kind::SerialDevice, ordered[static_cast<std::size_t>(port - 1)]};
    return {Kind::SerialDevice, "/dev/ttyS" + std::to_string(port - 1)};
}

}  // namespace tolvane
