#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "bus/key_list.h"
#include "protocol/key_table.h"

// The input is the key names of one Press call over the session bus, separated by zero bytes.
// They either all name keys, in order, or are refused with a message that quotes only
// printable ASCII.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> names;
    if (size > 0) names.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            names.emplace_back();
        else
            names.back() += static_cast<char>(data[i]);
    }
    const auto rows = tolvane::bus::keyRowsFor(names);
    if (const auto* refusal = std::get_if<std::string>(&rows)) {
        if (refusal->empty()) std::abort();
        for (const char c : *refusal)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                std::abort();
        return 0;
    }
    const auto& found = std::get<std::vector<std::size_t>>(rows);
    if (found.size() != names.size() || found.empty()) std::abort();
    for (const std::size_t row : found)
        if (row >= tolvane::kKeys.size()) std::abort();
    return 0;
}
