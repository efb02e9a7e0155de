#include "bus/key_list.h"

#include "protocol/key_names.h"
#include "protocol/key_table.h"

namespace tolvane::bus {
namespace {

// What of a name a message quotes at most.
constexpr std::size_t kQuotedLength = 64;

// Printable ASCII kept, every other byte as \xNN, cut short when long.
std::string quoted(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : name.substr(0, kQuotedLength)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    if (name.size() > kQuotedLength) out += "...";
    return out;
}

}  // namespace

std::variant<std::vector<std::size_t>, std::string> keyRowsFor(std::span<const std::string> names) {
    if (names.empty()) return std::string("no key given; nothing was sent");
    std::vector<std::size_t> rows;
    rows.reserve(names.size());
    for (const std::string& name : names) {
        const std::size_t row = keyIndexForName(name);
        if (row >= kKeys.size())
            return "unknown key '" + quoted(name) + "' (nearest known: '" +
                   std::string(nearestKeyName(name)) + "'); nothing was sent";
        rows.push_back(row);
    }
    return rows;
}

}  // namespace tolvane::bus
