#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/key_table.h"

namespace tolvane {

// The names a key goes by. plain: on a command line (lower case, digits as themselves, '-' for
// '_'). caption: what the key on the keypad says (the window takes it from here); the arrow keys
// show a picture instead, and their caption here is what a screen reader says for them.
struct KeyName {
    std::string_view control;
    std::string_view plain;
    std::string_view caption;
};

// One row per key of kKeys, in the same order.
// clang-format off
inline constexpr auto kKeyNames = std::to_array<KeyName>({
    {"m0", "0", "0"}, {"m1", "1", "1"}, {"m2", "2", "2"}, {"m3", "3", "3"}, {"m4", "4", "4"},
    {"m5", "5", "5"}, {"m6", "6", "6"}, {"m7", "7", "7"}, {"m8", "8", "8"}, {"m9", "9", "9"},
    {"mArrow_down", "down", "Down"},
    {"mArrow_left", "left", "Left"},
    {"mArrow_right", "right", "Right"},
    {"mArrow_up", "up", "Up"},
    {"mAsterick", "star", "*"},
    {"mBrite", "brite", "Brite"},
    {"mColour", "colour", "Colour"},
    {"mContrast", "contrast", "Contrast"},
    {"mConv", "conv", "Conv"},
    {"mDetail", "detail", "Detail"},
    {"mEnter", "enter", "Enter"},
    {"mExit", "exit", "Exit"},
    {"mGeom", "geom", "Geom"},
    {"mHelp", "help", "Help"},
    {"mMute", "mute", "Mute"},
    {"mPic", "pic", "Pic"},
    {"mPound", "hash", "#"},
    {"mPower_off", "power-off", "Off"},
    {"mPower_on", "power-on", "On"},
    {"mRecall", "recall", "Recall"},
    {"mSource", "source", "Source"},
    {"mStandby_off", "standby-off", "Off"},
    {"mStandby_on", "standby-on", "On"},
    {"mTint", "tint", "Tint"},
    {"mUtil", "util", "Util"},
    {"mVolume", "volume", "Volume"},
});
// clang-format on

constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

// The row of kKeys a control name or plain name stands for, in any case; kKeys.size() if none.
constexpr std::size_t keyIndexForName(std::string_view name) {
    for (std::size_t i = 0; i < kKeyNames.size(); ++i)
        if (equalIgnoringCase(name, kKeyNames[i].plain) ||
            equalIgnoringCase(name, kKeyNames[i].control))
            return i;
    return kKeys.size();
}

// The first row whose control name differs from the key table's, or whose names (either kind,
// in any case) another row also answers to; kKeyNames.size() when every row is sound.
consteval std::size_t firstUnsoundKeyName() {
    if (kKeyNames.size() != kKeys.size()) return 0;
    for (std::size_t i = 0; i < kKeyNames.size(); ++i) {
        const KeyName& row = kKeyNames[i];
        if (row.control != kKeys[i].control || row.plain.empty()) return i;
        if (keyIndexForName(row.plain) != i || keyIndexForName(row.control) != i) return i;
        for (std::size_t j = i + 1; j < kKeyNames.size(); ++j)
            if (equalIgnoringCase(row.plain, kKeyNames[j].control) ||
                equalIgnoringCase(row.control, kKeyNames[j].plain))
                return i;
    }
    return kKeyNames.size();
}
static_assert(firstUnsoundKeyName() == kKeyNames.size(),
              "kKeyNames must follow kKeys row for row, every name answering to one key only");

// The known name (plain or control) closest to a name that is not one, by edit distance
// ignoring case; plain names win ties.
std::string_view nearestKeyName(std::string_view name);

// The known name that a name which is not one most likely meant, ignoring case: of those that
// share their first 3 characters with it, else of those at most 2 edits and at most half their
// own length away, the closest by edit distance; plain names win ties. nullopt when no name is
// that close.
std::optional<std::string_view> closeKeyName(std::string_view name);

}  // namespace tolvane
