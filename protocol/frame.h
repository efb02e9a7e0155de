#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tolvane {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStartByte = 0x01;
inline constexpr std::uint8_t kEndByte = 0x0E;
inline constexpr std::uint8_t kEscapeByte = 0x1B;
inline constexpr std::uint8_t kEscapeBit = 0x80;
// The length byte counts the payload plus the checksum, and it is one byte wide.
inline constexpr std::size_t kMaxPayload = 254;

// True for payload values that must go out as 1B followed by the value with bit 7 set.
constexpr bool needsEscape(std::uint8_t value) {
    return value == 0x0E || value == 0x13 || value == 0x1B;
}

// Checksum rule: the length byte plus every payload byte, taken before escaping, modulo 256.
std::uint8_t frameChecksum(std::span<const std::uint8_t> payload);

// Wire bytes of one Command frame: start, length, escaped payload, checksum, end.
// Throws std::length_error for a payload longer than kMaxPayload.
Bytes encodeFrame(std::span<const std::uint8_t> payload);

}  // namespace tolvane
