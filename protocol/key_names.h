#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "protocol/key_table.h"

namespace tolvane {

constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, {}, asciiLower, asciiLower);
}

// The row of kKeys a control name or plain name stands for, in any case; kKeys.size() if none.
constexpr std::size_t keyIndexForName(std::string_view name) {
    for (std::size_t i = 0; i < kKeys.size(); ++i)
        if (equalIgnoringCase(name, kKeys[i].plain) || equalIgnoringCase(name, kKeys[i].control))
            return i;
    return kKeys.size();
}

// The first row with no plain name, or whose names (either kind, in any case) an earlier row
// also answers to; kKeys.size() when every row is sound.
consteval std::size_t firstUnsoundKeyName() {
    for (std::size_t i = 0; i < kKeys.size(); ++i)
        if (kKeys[i].plain.empty() || keyIndexForName(kKeys[i].plain) != i ||
            keyIndexForName(kKeys[i].control) != i)
            return i;
    return kKeys.size();
}
static_assert(firstUnsoundKeyName() == kKeys.size(), "every key name must answer to one key only");

// The known name (plain or control) closest to a name that is not one, by edit distance
// ignoring case; plain names win ties.
std::string_view nearestKeyName(std::string_view name);

// The known name that a name which is not one most likely meant, ignoring case: of those that
// share their first 3 characters with it, else of those at most 2 edits and at most half their
// own length away, the closest by edit distance; plain names win ties. nullopt when no name is
// that close.
std::optional<std::string_view> closeKeyName(std::string_view name);

}  // namespace tolvane
