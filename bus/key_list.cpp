#include "bus/key_list.h"

#include "protocol/hex_text.h"
#include "protocol/key_names.h"
#include "protocol/key_table.h"

namespace tolvane::bus {

std::variant<std::vector<std::size_t>, std::string> keyRowsFor(std::span<const std::string> names) {
    if (names.empty()) return std::string("no key given; nothing was sent");
    std::vector<std::size_t> rows;
    rows.reserve(names.size());
    for (const std::string& name : names) {
        const std::size_t row = keyIndexForName(name);
        if (row >= kKeys.size())
            return "unknown key '" + printable(name) + "' (nearest known: '" +
                   std::string(nearestKeyName(name)) + "'); nothing was sent";
        rows.push_back(row);
    }
    return rows;
}

}  // namespace tolvane::bus
