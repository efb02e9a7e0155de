#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "protocol/key_table.h"
#include "send/send_options.h"

using namespace tolvane::send;

// The input is a command line: arguments separated by zero bytes, as argv holds them. Any of
// them either parses to options within their ranges or is refused with a message that quotes
// only printable ASCII.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back() += static_cast<char>(data[i]);
    }
    const auto parsed = parseOptions(arguments);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        if (error->message.empty()) std::abort();
        for (const char c : error->message)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                std::abort();
        return 0;
    }
    const SendOptions& options = std::get<SendOptions>(parsed);
    if (options.delay < std::chrono::milliseconds(0) || options.delay > kMaxDelay) std::abort();
    if (options.port.device.empty() &&
        (options.port.comm < 1 || options.port.comm > tolvane::kPortCount))
        std::abort();
    for (const std::size_t row : options.keys)
        if (row >= tolvane::kKeys.size()) std::abort();
    if (options.action == Action::Send && options.keys.empty()) std::abort();
    return 0;
}
