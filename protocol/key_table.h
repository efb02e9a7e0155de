// protocol/: the frames on the wire and the key table. Plain C++, no Qt, no port.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "protocol/frame.h"

namespace tolvane {

// One remote key: its control name on the keypad, its key code and payload byte 1.
struct KeyCommand {
    std::string_view control;
    std::uint8_t code;
    std::uint8_t payload1;
};

inline constexpr std::uint8_t kNormalPayload1 = 0xB0;
inline constexpr std::uint8_t kPowerOnPayload1 = 0x80;
inline constexpr std::uint8_t kLeadInCode = 0x30;

// Fixed bytes of the key frame payload: payload1, 00, 13, FF, 63, code, 24.
inline constexpr std::array<std::uint8_t, 3> kKeyPayloadMiddle{0x00, 0x13, 0xFF};
inline constexpr std::uint8_t kKeyPayloadBeforeCode = 0x63;
inline constexpr std::uint8_t kKeyPayloadLast = 0x24;
inline constexpr std::size_t kKeyPayloadSize = 7;

inline constexpr std::array<std::uint8_t, 5> kProbePayload{0x00, 0x00, 0x10, 0x00, 0x81};

// The keys of the remote, in alphabetical order of their control names.
// clang-format off
inline constexpr auto kKeys = std::to_array<KeyCommand>({
    {"m0", 0x08, kNormalPayload1},
    {"m1", 0x0A, kNormalPayload1},
    {"m2", 0x3A, kNormalPayload1},
    {"m3", 0x12, kNormalPayload1},
    {"m4", 0x27, kNormalPayload1},
    {"m5", 0x17, kNormalPayload1},
    {"m6", 0x3F, kNormalPayload1},
    {"m7", 0x2B, kNormalPayload1},
    {"m8", 0x1B, kNormalPayload1},
    {"m9", 0x33, kNormalPayload1},
    {"mArrow_down", 0x31, kNormalPayload1},
    {"mArrow_left", 0x0D, kNormalPayload1},
    {"mArrow_right", 0x15, kNormalPayload1},
    {"mArrow_up", 0x37, kNormalPayload1},
    {"mAsterick", 0x34, kNormalPayload1},
    {"mBrite", 0x32, kNormalPayload1},
    {"mColour", 0x0E, kNormalPayload1},
    {"mContrast", 0x02, kNormalPayload1},
    {"mConv", 0x2A, kNormalPayload1},
    {"mDetail", 0x16, kNormalPayload1},
    {"mEnter", 0x0B, kNormalPayload1},
    {"mExit", 0x23, kNormalPayload1},
    {"mGeom", 0x26, kNormalPayload1},
    {"mHelp", 0x0F, kNormalPayload1},
    {"mMute", 0x38, kNormalPayload1},
    {"mPic", 0x2C, kNormalPayload1},
    {"mPound", 0x03, kNormalPayload1},
    {"mPower_off", 0x14, kNormalPayload1},
    {"mPower_on", 0x24, kPowerOnPayload1},
    {"mRecall", 0x22, kNormalPayload1},
    {"mSource", 0x2D, kNormalPayload1},
    {"mStandby_off", 0x0C, kNormalPayload1},
    {"mStandby_on", 0x3C, kNormalPayload1},
    {"mTint", 0x3E, kNormalPayload1},
    {"mUtil", 0x1C, kNormalPayload1},
    {"mVolume", 0x1A, kNormalPayload1},
});
// clang-format on

// The row of the key with this control name, or kKeys.size() when there is none. An index
// rather than a pointer, so that checks at compile time need no pointer comparison (which
// GCC cannot evaluate at compile time in a sanitized build).
constexpr std::size_t keyIndex(std::string_view control) {
    std::size_t i = 0;
    while (i < kKeys.size() && kKeys[i].control != control) ++i;
    return i;
}

constexpr bool hasKey(std::string_view control) {
    return keyIndex(control) < kKeys.size();
}

// The key with this control name; the table is small, a linear scan is plenty.
constexpr const KeyCommand* findKey(std::string_view control) {
    const std::size_t i = keyIndex(control);
    return i < kKeys.size() ? &kKeys[i] : nullptr;
}

// The key whose frame carries this payload byte 1 and key code, if any.
constexpr const KeyCommand* findKeyByCode(std::uint8_t payload1, std::uint8_t code) {
    for (const KeyCommand& key : kKeys)
        if (key.payload1 == payload1 && key.code == code) return &key;
    return nullptr;
}

std::array<std::uint8_t, kKeyPayloadSize> keyPayload(std::uint8_t payload1, std::uint8_t code);
Bytes keyFrame(const KeyCommand& key);
// A key's lead-in frame is its key frame with the lead-in code and the same payload byte 1.
Bytes leadInFrame(const KeyCommand& key);
Bytes probeFrame();

}  // namespace tolvane
