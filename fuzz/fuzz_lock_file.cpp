#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "lock/lock_file.h"

// Any lock file contents give a positive int PID or none. The same bytes, read as a path and
// a device, give lock file names that are single file names of a length the system takes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto pid = tolvane::lockFilePid(std::span(data, size));
    if (pid && (*pid <= 0 || *pid > 2147483647)) std::abort();

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t half = text.find('\n');
    const std::string_view path = text.substr(0, half);
    const std::string_view device = half == std::string_view::npos ? "" : text.substr(half + 1);
    for (const std::string& name : tolvane::lockFileNames(path, device, size, size / 2)) {
        if (!name.starts_with("LCK.") || name.size() > 255 || name == "LCK..") std::abort();
        if (name.find('/') != std::string::npos) std::abort();
    }
    return 0;
}
