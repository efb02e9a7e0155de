#include "ports/port_mapping.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
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
    const auto family = std::find(kFamilies.begin(), kFamilies.end(), stem) - kFamilies.begin();
    return {int(family), stem, value, path};
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Four decimal numbers 0 to 255 without leading zeros, as the system reads them.
bool isIpv4(std::string_view host) {
    const std::string text(host);
    in_addr address{};
    return text.find('\0') == std::string::npos &&
           ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// Host names as RFC 1123 allows: labels of letters, digits and inner hyphens, at most 63 each.
bool isHostName(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    if (host.back() == '.') host.remove_suffix(1);  // a fully qualified name's root
    bool allNumeric = true;
    std::size_t label = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        const char c = i < host.size() ? host[i] : '.';
        if (c == '.') {
            if (label == 0 || label > 63 || host[i - 1] == '-' || host[i - label] == '-')
                return false;
            label = 0;
            continue;
        }
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
        if (!isDigit(c)) allNumeric = false;
        ++label;
    }
    // All digits and dots is a malformed IPv4 address, not a name.
    return !allNumeric;
}

// The text between the brackets: hexadecimal groups and colons, an IPv4 tail allowed; the
// system's own parser decides the rest when connecting.
bool looksLikeIpv6(std::string_view host) {
    if (host.size() < 2 || host.size() > 45 || host.find(':') == std::string_view::npos)
        return false;
    for (const char c : host)
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    return true;
}

PortAddress invalid(const std::string& name, std::string problem) {
    return {PortAddress::Kind::Invalid, name, {}, 0, std::move(problem)};
}

}  // namespace

PortAddress parsePortName(const std::string& name) {
    using Kind = PortAddress::Kind;
    Kind kind;
    std::string_view rest(name);
    if (startsWithNoCase(rest, "tcp://")) {
        kind = Kind::Tcp;
        rest.remove_prefix(6);
    } else if (startsWithNoCase(rest, "rfc2217://")) {
        kind = Kind::Rfc2217;
        rest.remove_prefix(10);
    } else {
        return {Kind::SerialDevice, name, {}, 0, {}};
    }
    std::string_view host;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) return invalid(name, "no ']' after the IPv6 address");
        host = rest.substr(1, close - 1);
        if (!looksLikeIpv6(host)) return invalid(name, "malformed IPv6 address");
        rest.remove_prefix(close + 1);
        if (rest.empty() || rest[0] != ':') return invalid(name, "no ':PORT' after the host");
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string_view::npos) return invalid(name, "no ':PORT' after the host");
        host = rest.substr(0, colon);
        if (host.empty()) return invalid(name, "no host before ':PORT'");
        if (host.find(':') != std::string_view::npos)
            return invalid(name, "an IPv6 address needs brackets: [ADDRESS]:PORT");
        if (!isIpv4(host) && !isHostName(host))
            return invalid(name, "malformed host name or IPv4 address");
        rest.remove_prefix(colon);
    }
    rest.remove_prefix(1);  // ':'
    std::uint16_t port = 0;
    const char* const end = rest.data() + rest.size();
    const auto [after, ec] = std::from_chars(rest.data(), end, port);
    if (rest.size() > 5 || ec != std::errc() || after != end || port == 0)
        return invalid(name, "the port is not a number from 1 to 65535");
    return {kind, name, std::string(host), port, {}};
}

std::vector<std::string> naturalPortOrder(std::vector<std::string> ports) {
    std::sort(ports.begin(), ports.end(),
              [](const std::string& a, const std::string& b) { return sortKey(a) < sortKey(b); });
    return ports;
}

PortAddress deviceForPort(int port, const std::optional<std::string>& override,
                          const std::vector<std::string>& presentPorts) {
    using Kind = PortAddress::Kind;
    if (override) return parsePortName(*override);
    const auto ordered = naturalPortOrder(presentPorts);
    if (port >= 1 && static_cast<std::size_t>(port) <= ordered.size())
        return {Kind::SerialDevice, ordered[static_cast<std::size_t>(port - 1)], {}, 0, {}};
    return {Kind::SerialDevice, "/dev/ttyS" + std::to_string(port - 1), {}, 0, {}};
}

}  // namespace tolvane
