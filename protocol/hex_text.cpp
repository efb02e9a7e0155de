#include "protocol/hex_text.h"

#include <charconv>

namespace tolvane {

static constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string toHex(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0xF];
    }
    return out;
}

std::optional<Bytes> parseHexText(std::string_view text) {
    Bytes out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        // Both digits of a pair, which never straddles a blank and has no sign.
        const char* pair = text.data() + i;
        std::uint8_t byte = 0;
        if (i + 1 >= text.size() || std::from_chars(pair, pair + 2, byte, 16).ptr != pair + 2)
            return std::nullopt;
        out.push_back(byte);
        i += 2;
    }
    return out;
}

std::string printable(std::string_view text) {
    constexpr std::size_t kQuotedLength = 64;
    std::string out;
    for (const char c : text.substr(0, kQuotedLength)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += kHexDigits[byte >> 4];
            out += kHexDigits[byte & 0xF];
        }
    }
    if (text.size() > kQuotedLength) out += "...";
    return out;
}

}  // namespace tolvane
