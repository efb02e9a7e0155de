#include "lock/lock_file.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace tolvane {
namespace {

// Longest file name the system takes (NAME_MAX on Linux and the BSDs).
constexpr std::size_t kMaxFileNameLength = 255;
// Decimal digits a positive int can have, and the largest (a PID is an int).
constexpr std::size_t kMaxPidDigits = 10;
constexpr std::int64_t kMaxPid = 2147483647;
// Four bytes are read as a binary PID only up to Linux's PID_MAX_LIMIT: text such as "   \n"
// would otherwise pass for one.
constexpr std::int32_t kMaxBinaryPid = 4 * 1024 * 1024;

bool isBlank(std::uint8_t c) {
    return c == ' ' || c == '\t';
}

std::optional<std::int64_t> asciiPid(std::span<const std::uint8_t> content) {
    const char* digits = reinterpret_cast<const char*>(content.data());
    const char* const end = digits + content.size();
    while (digits < end && isBlank(*digits)) ++digits;
    std::uint64_t pid = 0;
    const auto [after, ec] = std::from_chars(digits, end, pid);
    if (ec != std::errc() || std::size_t(after - digits) > kMaxPidDigits) return std::nullopt;
    const char* rest = after;
    while (rest < end && (isBlank(*rest) || *rest == '\r')) ++rest;
    if (rest < end && *rest != '\n') return std::nullopt;
    return std::int64_t(pid);
}

std::string lockName(std::string_view name) {
    return "LCK.." + std::string(name);
}

std::string qtLockName(std::string_view path) {
    constexpr std::string_view kDev = "/dev/";
    if (path.starts_with(kDev)) path.remove_prefix(kDev.size());
    std::string name(path);
    std::replace(name.begin(), name.end(), '/', '_');
    return lockName(name);
}

std::string_view baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<std::int64_t> lockFilePid(std::span<const std::uint8_t> content) {
    std::optional<std::int64_t> pid = asciiPid(content);
    if (!pid && content.size() == sizeof(std::int32_t)) {
        std::int32_t binary = 0;
        std::memcpy(&binary, content.data(), sizeof binary);
        if (binary <= kMaxBinaryPid) pid = binary;
    }
    if (pid && (*pid <= 0 || *pid > kMaxPid)) return std::nullopt;
    return pid;
}

std::string devicePathForName(std::string_view name) {
    if (name.starts_with('/') || name.starts_with("./") || name.starts_with("../"))
        return std::string(name);
    return "/dev/" + std::string(name);
}

std::vector<std::string> lockFileNames(std::string_view path, std::string_view device,
                                       unsigned major, unsigned minor) {
    char numbered[32];
    std::snprintf(numbered, sizeof numbered, "LCK.%03u.%03u", major, minor);
    std::vector<std::string> names;
    for (std::string name : {lockName(baseName(path)), qtLockName(path), lockName(baseName(device)),
                             qtLockName(device), std::string(numbered)}) {
        if (name == lockName("") || name.size() > kMaxFileNameLength) continue;
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    return names;
}

}  // namespace tolvane
