#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "transport/line_settings.h"

// Any text either parses to settings within their ranges or is refused with invalid_argument.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const tolvane::LineSettings s = tolvane::parseLineSettings(text);
        if (s.baud <= 0 || s.dataBits < 5 || s.dataBits > 8) std::abort();
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
