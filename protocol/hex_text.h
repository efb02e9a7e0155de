#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/frame.h"

namespace tolvane {

// Bytes as spaced upper-case hex pairs: "01 08 B0".
std::string toHex(std::span<const std::uint8_t> bytes);

// Hex pairs in either case, with or without blanks between pairs ("06", "06 15", "0615").
// Empty for anything else, an odd digit count included, so a typo is never half taken.
std::optional<Bytes> parseHexText(std::string_view text);

// Outside text as a message may quote it: printable ASCII kept, every other byte (and the
// backslash) as \xNN, and cut short, with "...", after its first 64 bytes.
std::string printable(std::string_view text);

}  // namespace tolvane
