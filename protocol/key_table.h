// protocol/: the frames on the wire and the key table. Plain C++, no Qt, no port.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "protocol/frame.h"

namespace tolvane {

inline constexpr std::uint8_t kNormalPayload1 = 0xB0;
inline constexpr std::uint8_t kPowerOnPayload1 = 0x80;
inline constexpr std::uint8_t kLeadInCode = 0x30;
inline constexpr std::array<std::uint8_t, 5> kProbePayload{0x00, 0x00, 0x10, 0x00, 0x81};

// One remote key: its names, its key code and payload byte 1. control: its name on the keypad.
// plain: on a command line (lower case, digits as themselves, '-' for '_'). caption: what the
// key on the keypad says (the window takes it from here); the arrow keys show a picture
// instead, and their caption here is what a screen reader says for them.
struct KeyCommand {
    std::string_view control;
    std::string_view plain;
    std::string_view caption;
    std::uint8_t code;
    std::uint8_t payload1 = kNormalPayload1;
};

// The keys of the remote, in alphabetical order of their control names.
// clang-format off
inline constexpr auto kKeys = std::to_array<KeyCommand>({
    {"m0", "0", "0", 0x08},
    {"m1", "1", "1", 0x0A},
    {"m2", "2", "2", 0x3A},
    {"m3", "3", "3", 0x12},
    {"m4", "4", "4", 0x27},
    {"m5", "5", "5", 0x17},
    {"m6", "6", "6", 0x3F},
    {"m7", "7", "7", 0x2B},
    {"m8", "8", "8", 0x1B},
    {"m9", "9", "9", 0x33},
    {"mArrow_down", "down", "Down", 0x31},
    {"mArrow_left", "left", "Left", 0x0D},
    {"mArrow_right", "right", "Right", 0x15},
    {"mArrow_up", "up", "Up", 0x37},
    {"mAsterick", "star", "*", 0x34},
    {"mBrite", "brite", "Brite", 0x32},
    {"mColour", "colour", "Colour", 0x0E},
    {"mContrast", "contrast", "Contrast", 0x02},
    {"mConv", "conv", "Conv", 0x2A},
    {"mDetail", "detail", "Detail", 0x16},
    {"mEnter", "enter", "Enter", 0x0B},
    {"mExit", "exit", "Exit", 0x23},
    {"mGeom", "geom", "Geom", 0x26},
    {"mHelp", "help", "Help", 0x0F},
    {"mMute", "mute", "Mute", 0x38},
    {"mPic", "pic", "Pic", 0x2C},
    {"mPound", "hash", "#", 0x03},
    {"mPower_off", "power-off", "Off", 0x14},
    {"mPower_on", "power-on", "On", 0x24, kPowerOnPayload1},
    {"mRecall", "recall", "Recall", 0x22},
    {"mSource", "source", "Source", 0x2D},
    {"mStandby_off", "standby-off", "Off", 0x0C},
    {"mStandby_on", "standby-on", "On", 0x3C},
    {"mTint", "tint", "Tint", 0x3E},
    {"mUtil", "util", "Util", 0x1C},
    {"mVolume", "volume", "Volume", 0x1A},
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

// The payload of a key frame: payload byte 1, 00 13 FF 63, the key code, 24.
constexpr std::array<std::uint8_t, 7> keyPayload(std::uint8_t payload1, std::uint8_t code) {
    return {payload1, 0x00, 0x13, 0xFF, 0x63, code, 0x24};
}

inline Bytes keyFrame(const KeyCommand& key) {
    return encodeFrame(keyPayload(key.payload1, key.code));
}

// A key's lead-in frame is its key frame with the lead-in code and the same payload byte 1.
inline Bytes leadInFrame(const KeyCommand& key) {
    return encodeFrame(keyPayload(key.payload1, kLeadInCode));
}

inline Bytes probeFrame() {
    return encodeFrame(kProbePayload);
}

}  // namespace tolvane
