#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/key_table.h"

namespace tolvane {

// The name a key goes by on a command line: lower case, digits as themselves, '-' for '_'.
struct KeyName {
    std::string_view control;
    std::string_view plain;
};

// One row per key of kKeys, in the same order.
// clang-format off
inline constexpr auto kKeyNames = std::to_array<KeyName>({
    {"m0", "0"}, {"m1", "1"}, {"m2", "2"}, {"m3", "3"}, {"m4", "4"},
    {"m5", "5"}, {"m6", "6"}, {"m7", "7"}, {"m8", "8"}, {"m9", "9"},
    {"mArrow_down", "down"},
    {"mArrow_left", "left"},
    {"mArrow_right", "right"},
    {"mArrow_up", "up"},
    {"mAsterick", "star"},
    {"mBrite", "brite"},
    {"mColour", "colour"},
    {"mContrast", "contrast"},
    {"mConv", "conv"},
    {"mDetail", "detail"},
    {"mEnter", "enter"},
    {"mExit", "exit"},
    {"mGeom", "geom"},
    {"mHelp", "help"},
    {"mMute", "mute"},
    {"mPic", "pic"},
    {"mPound", "hash"},
    {"mPower_off", "power-off"},
    {"mPower_on", "power-on"},
    {"mRecall", "recall"},
    {"mSource", "source"},
    {"mStandby_off", "standby-off"},
    {"mStandby_on", "standby-on"},
    {"mTint", "tint"},
    {"mUtil", "util"},
    {"mVolume", "volume"},
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

}  // namespace tolvane
