#pragma once

#include <array>
#include <string_view>

namespace tolvane::testing {

// Wire bytes of every key, copied from the key command table; never recomputed.
struct ExpectedKey {
    const char* control;
    const char* keyFrame;
};

inline constexpr const char* kCommonLeadIn = "01 08 B0 00 1B 93 FF 63 30 24 81 0E";
inline constexpr const char* kPowerOnLeadIn = "01 08 80 00 1B 93 FF 63 30 24 51 0E";
inline constexpr const char* kProbe = "01 06 00 00 10 00 81 97 0E";

inline constexpr std::array<ExpectedKey, 36> kExpectedKeys{{
    {"m0", "01 08 B0 00 1B 93 FF 63 08 24 59 0E"},
    {"m1", "01 08 B0 00 1B 93 FF 63 0A 24 5B 0E"},
    {"m2", "01 08 B0 00 1B 93 FF 63 3A 24 8B 0E"},
    {"m3", "01 08 B0 00 1B 93 FF 63 12 24 63 0E"},
    {"m4", "01 08 B0 00 1B 93 FF 63 27 24 78 0E"},
    {"m5", "01 08 B0 00 1B 93 FF 63 17 24 68 0E"},
    {"m6", "01 08 B0 00 1B 93 FF 63 3F 24 90 0E"},
    {"m7", "01 08 B0 00 1B 93 FF 63 2B 24 7C 0E"},
    {"m8", "01 08 B0 00 1B 93 FF 63 1B 9B 24 6C 0E"},
    {"m9", "01 08 B0 00 1B 93 FF 63 33 24 84 0E"},
    {"mArrow_down", "01 08 B0 00 1B 93 FF 63 31 24 82 0E"},
    {"mArrow_left", "01 08 B0 00 1B 93 FF 63 0D 24 5E 0E"},
    {"mArrow_right", "01 08 B0 00 1B 93 FF 63 15 24 66 0E"},
    {"mArrow_up", "01 08 B0 00 1B 93 FF 63 37 24 88 0E"},
    {"mAsterick", "01 08 B0 00 1B 93 FF 63 34 24 85 0E"},
    {"mBrite", "01 08 B0 00 1B 93 FF 63 32 24 83 0E"},
    {"mColour", "01 08 B0 00 1B 93 FF 63 1B 8E 24 5F 0E"},
    {"mContrast", "01 08 B0 00 1B 93 FF 63 02 24 53 0E"},
    {"mConv", "01 08 B0 00 1B 93 FF 63 2A 24 7B 0E"},
    {"mDetail", "01 08 B0 00 1B 93 FF 63 16 24 67 0E"},
    {"mEnter", "01 08 B0 00 1B 93 FF 63 0B 24 5C 0E"},
    {"mExit", "01 08 B0 00 1B 93 FF 63 23 24 74 0E"},
    {"mGeom", "01 08 B0 00 1B 93 FF 63 26 24 77 0E"},
    {"mHelp", "01 08 B0 00 1B 93 FF 63 0F 24 60 0E"},
    {"mMute", "01 08 B0 00 1B 93 FF 63 38 24 89 0E"},
    {"mPic", "01 08 B0 00 1B 93 FF 63 2C 24 7D 0E"},
    {"mPound", "01 08 B0 00 1B 93 FF 63 03 24 54 0E"},
    {"mPower_off", "01 08 B0 00 1B 93 FF 63 14 24 65 0E"},
    {"mPower_on", "01 08 80 00 1B 93 FF 63 24 24 45 0E"},
    {"mRecall", "01 08 B0 00 1B 93 FF 63 22 24 73 0E"},
    {"mSource", "01 08 B0 00 1B 93 FF 63 2D 24 7E 0E"},
    {"mStandby_off", "01 08 B0 00 1B 93 FF 63 0C 24 5D 0E"},
    {"mStandby_on", "01 08 B0 00 1B 93 FF 63 3C 24 8D 0E"},
    {"mTint", "01 08 B0 00 1B 93 FF 63 3E 24 8F 0E"},
    {"mUtil", "01 08 B0 00 1B 93 FF 63 1C 24 6D 0E"},
    {"mVolume", "01 08 B0 00 1B 93 FF 63 1A 24 6B 0E"},
}};

inline const char* expectedLeadIn(const char* control) {
    return std::string_view(control) == "mPower_on" ? kPowerOnLeadIn : kCommonLeadIn;
}

}  // namespace tolvane::testing
