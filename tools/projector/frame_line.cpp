#include "projector/frame_line.h"

#include <algorithm>

#include "protocol/hex_text.h"
#include "protocol/key_table.h"

namespace tolvane::projector {
namespace {

// Which of the panel's frames this payload is, or "frame" for one it never sends.
std::string frameName(const Bytes& payload) {
    if (std::ranges::equal(payload, kProbePayload)) return "probe";
    if (payload.size() != kKeyPayloadSize) return "frame";
    const std::uint8_t payload1 = payload[0];
    const std::uint8_t code = payload[5];
    if (!std::ranges::equal(payload, keyPayload(payload1, code))) return "frame";
    if (code == kLeadInCode) {
        if (payload1 == kNormalPayload1) return "lead-in";
        if (payload1 == kPowerOnPayload1) return "lead-in power-on";
        return "frame";
    }
    if (const KeyCommand* key = findKeyByCode(payload1, code))
        return "key " + std::string(key->control);
    return "frame";
}

}  // namespace

std::string lineFor(const DecodedPiece& piece) {
    std::string line = piece.kind == DecodedPiece::Kind::Frame
                           ? frameName(piece.payload)
                           : "bad " + std::string(kindName(piece.kind));
    line += ' ';
    line += toHex(piece.wire);
    if (piece.size > piece.wire.size()) line += " ... (" + std::to_string(piece.size) + " bytes)";
    return line;
}

}  // namespace tolvane::projector
