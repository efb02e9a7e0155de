#pragma once

#include <array>
#include <string_view>

namespace tolvane {

// Positions and sizes are in twips (1/1440 inch), relative to the container's client area.
inline constexpr int kTwipsPerPixel = 15;
constexpr int toPixels(int twips) {
    return twips / kTwipsPerPixel;
}

inline constexpr int kKeypadWidthTwips = 6855;
inline constexpr int kKeypadHeightTwips = 5295;
inline constexpr int kAsteriskPointSize = 18;

enum class Kind { Frame, Button };
enum class Container { Window, Cursors, Frame31, Frame33, Frame35 };

struct ControlLayout {
    std::string_view name;
    int tab;  // place in the focus order; frames hold places but take no focus
    Kind kind;
    Container container;
    int left, top, width, height;
    std::string_view caption;
    std::string_view picture;  // arrow keys: name of their picture, shown instead of a caption
    std::string_view accessibleName;  // what a screen reader says for a key
};

// The keypad, one row per control, in focus order; a frame comes before what it holds.
inline constexpr std::array<ControlLayout, 41> kKeypadLayout{{
    {"Cursors", 0, Kind::Frame, Container::Window, 0, 3480, 1935, 1815, "Cursors", "", ""},
    {"mArrow_up", 1, Kind::Button, Container::Cursors, 720, 240, 495, 495, "", "arrow_up", "Up"},
    {"mArrow_right", 2, Kind::Button, Container::Cursors, 1200, 720, 495, 495, "", "arrow_right",
     "Right"},
    {"mArrow_down", 3, Kind::Button, Container::Cursors, 720, 1200, 495, 495, "", "arrow_down",
     "Down"},
    {"mArrow_left", 4, Kind::Button, Container::Cursors, 240, 720, 495, 495, "", "arrow_left",
     "Left"},
    {"CHECK_CONNECTION", 5, Kind::Button, Container::Window, 3000, 840, 1575, 495,
     "Check Connection", "", "Check Connection"},
    {"Frame31", 6, Kind::Frame, Container::Window, 0, 0, 1215, 1215, "Power", "", ""},
    {"mPower_off", 7, Kind::Button, Container::Frame31, 120, 720, 975, 375, "Off", "", "Power Off"},
    {"mPower_on", 8, Kind::Button, Container::Frame31, 120, 240, 975, 375, "On", "", "Power On"},
    {"Frame33", 9, Kind::Frame, Container::Window, 1320, 0, 1215, 1215, "Standby", "", ""},
    {"mStandby_off", 10, Kind::Button, Container::Frame33, 120, 720, 975, 375, "Off", "",
     "Standby Off"},
    {"mStandby_on", 11, Kind::Button, Container::Frame33, 120, 240, 975, 375, "On", "",
     "Standby On"},
    {"mSource", 12, Kind::Button, Container::Window, 6120, 2640, 735, 375, "Source", "", "Source"},
    {"Frame35", 13, Kind::Frame, Container::Window, 5280, 3120, 1575, 2175, "", "", ""},
    {"m1", 14, Kind::Button, Container::Frame35, 120, 240, 375, 375, "1", "", "1"},
    {"m2", 15, Kind::Button, Container::Frame35, 600, 240, 375, 375, "2", "", "2"},
    {"m3", 16, Kind::Button, Container::Frame35, 1080, 240, 375, 375, "3", "", "3"},
    {"m4", 17, Kind::Button, Container::Frame35, 120, 720, 375, 375, "4", "", "4"},
    {"m5", 18, Kind::Button, Container::Frame35, 600, 720, 375, 375, "5", "", "5"},
    {"m6", 19, Kind::Button, Container::Frame35, 1080, 720, 375, 375, "6", "", "6"},
    {"m7", 20, Kind::Button, Container::Frame35, 120, 1200, 375, 375, "7", "", "7"},
    {"m8", 21, Kind::Button, Container::Frame35, 600, 1200, 375, 375, "8", "", "8"},
    {"m9", 22, Kind::Button, Container::Frame35, 1080, 1200, 375, 375, "9", "", "9"},
    {"m0", 23, Kind::Button, Container::Frame35, 120, 1680, 375, 375, "0", "", "0"},
    {"mRecall", 24, Kind::Button, Container::Window, 5280, 2640, 735, 375, "Recall", "", "Recall"},
    {"mMute", 25, Kind::Button, Container::Window, 5280, 1680, 735, 375, "Mute", "", "Mute"},
    {"mVolume", 26, Kind::Button, Container::Window, 6120, 1680, 735, 375, "Volume", "", "Volume"},
    {"mContrast", 27, Kind::Button, Container::Window, 0, 1320, 735, 375, "Contrast", "",
     "Contrast"},
    {"mExit", 28, Kind::Button, Container::Window, 3720, 4920, 735, 375, "Exit", "", "Exit"},
    {"mEnter", 29, Kind::Button, Container::Window, 2880, 4920, 735, 375, "Enter", "", "Enter"},
    {"mAsterick", 30, Kind::Button, Container::Window, 5640, 120, 375, 375, "*", "", "*"},
    {"mTint", 31, Kind::Button, Container::Window, 840, 1800, 735, 375, "Tint", "", "Tint"},
    {"mDetail", 32, Kind::Button, Container::Window, 840, 2280, 735, 375, "Detail", "", "Detail"},
    {"mBrite", 33, Kind::Button, Container::Window, 0, 1800, 735, 375, "Brite", "", "Brite"},
    {"mPic", 34, Kind::Button, Container::Window, 3840, 2640, 735, 375, "Pic", "", "Pic"},
    {"mGeom", 35, Kind::Button, Container::Window, 3000, 2160, 735, 375, "Geom", "", "Geom"},
    {"mConv", 36, Kind::Button, Container::Window, 2040, 4920, 735, 375, "Conv", "", "Conv"},
    {"mHelp", 37, Kind::Button, Container::Window, 6120, 120, 735, 375, "Help", "", "Help"},
    {"mUtil", 38, Kind::Button, Container::Window, 3000, 2640, 735, 375, "Util", "", "Util"},
    {"mColour", 39, Kind::Button, Container::Window, 0, 2280, 735, 375, "Colour", "", "Colour"},
    {"mPound", 40, Kind::Button, Container::Window, 4800, 4920, 375, 375, "#", "", "#"},
}};

}  // namespace tolvane
