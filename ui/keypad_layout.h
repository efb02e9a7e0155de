#pragma once

#include <QRect>
#include <array>
#include <string_view>

#include "protocol/key_table.h"

namespace tolvane {

// Positions and sizes are in twips (1/1440 inch), relative to the container's client area.
inline constexpr int kTwipsPerPixel = 15;
constexpr int toPixels(int twips) {
    return twips / kTwipsPerPixel;
}
constexpr QRect toPixels(const QRect& twips) {
    return {toPixels(twips.x()), toPixels(twips.y()), toPixels(twips.width()),
            toPixels(twips.height())};
}

inline constexpr int kKeypadWidthTwips = 6855;
inline constexpr int kKeypadHeightTwips = 5295;
inline constexpr int kAsteriskPointSize = 18;

// Frame: a titled box that holds controls. Key: a remote key, sent by its key table row.
// Button: the panel's own (Check Connection).
enum class Kind { Frame, Key, Button };

// The keys of the computer's keyboard that press a remote key, in QKeySequence's portable text,
// more than one separated by "; " (Return and the number pad's Enter). A held key repeats only
// where the remote's key does (the cursor keys).
struct KeyShortcut {
    std::string_view keys;
    bool repeats = false;
};

struct ControlLayout {
    std::string_view name;
    Kind kind;
    std::string_view container;  // the frame that holds it; empty for the window itself
    int left, top, width, height;
    std::string_view caption;  // a key's comes from the key table (protocol/key_names.h)
    std::string_view picture;  // arrow keys: name of their picture, shown instead of a caption
    std::string_view accessibleName;  // what a screen reader says for a key or frame
    KeyShortcut shortcut;             // the computer key that presses it, if any
    int pointSize = 0;                // caption font size; 0 for the keypad's own
};

// Key rows leave their caption empty: it is the key table's (kKeys), filled in here, except
// for the arrow keys, which show their picture instead.
template <std::size_t N>
consteval std::array<ControlLayout, N> withKeyCaptions(std::array<ControlLayout, N> rows) {
    for (ControlLayout& row : rows) {
        if (row.kind != Kind::Key) continue;
        if (!row.caption.empty()) throw "a key row states a caption: the key table holds it";
        if (const std::size_t i = keyIndex(row.name); i < kKeys.size() && row.picture.empty())
            row.caption = kKeys[i].caption;
    }
    return rows;
}

// The keypad, one row per control, in focus order; a frame comes before what it holds.
// clang-format off
inline constexpr auto kKeypadLayout = withKeyCaptions(std::to_array<ControlLayout>({
    {"Cursors", Kind::Frame, "", 0, 3480, 1935, 1815, "Cursors", "", "", {}},
    {"mArrow_up", Kind::Key, "Cursors", 720, 240, 495, 495, "", "arrow_up", "Up", {"Up", true}},
    {"mArrow_right", Kind::Key, "Cursors", 1200, 720, 495, 495, "", "arrow_right", "Right", {"Right", true}},
    {"mArrow_down", Kind::Key, "Cursors", 720, 1200, 495, 495, "", "arrow_down", "Down", {"Down", true}},
    {"mArrow_left", Kind::Key, "Cursors", 240, 720, 495, 495, "", "arrow_left", "Left", {"Left", true}},
    {"CHECK_CONNECTION", Kind::Button, "", 3000, 840, 1575, 495, "Check Connection", "",
     "Check Connection", {}},
    {"Frame31", Kind::Frame, "", 0, 0, 1215, 1215, "Power", "", "", {}},
    {"mPower_off", Kind::Key, "Frame31", 120, 720, 975, 375, "", "", "Power Off", {}},
    {"mPower_on", Kind::Key, "Frame31", 120, 240, 975, 375, "", "", "Power On", {}},
    {"Frame33", Kind::Frame, "", 1320, 0, 1215, 1215, "Standby", "", "", {}},
    {"mStandby_off", Kind::Key, "Frame33", 120, 720, 975, 375, "", "", "Standby Off", {}},
    {"mStandby_on", Kind::Key, "Frame33", 120, 240, 975, 375, "", "", "Standby On", {}},
    {"mSource", Kind::Key, "", 6120, 2640, 735, 375, "", "", "Source", {}},
    {"Frame35", Kind::Frame, "", 5280, 3120, 1575, 2175, "", "", "Digits", {}},
    {"m1", Kind::Key, "Frame35", 120, 240, 375, 375, "", "", "1", {"1"}},
    {"m2", Kind::Key, "Frame35", 600, 240, 375, 375, "", "", "2", {"2"}},
    {"m3", Kind::Key, "Frame35", 1080, 240, 375, 375, "", "", "3", {"3"}},
    {"m4", Kind::Key, "Frame35", 120, 720, 375, 375, "", "", "4", {"4"}},
    {"m5", Kind::Key, "Frame35", 600, 720, 375, 375, "", "", "5", {"5"}},
    {"m6", Kind::Key, "Frame35", 1080, 720, 375, 375, "", "", "6", {"6"}},
    {"m7", Kind::Key, "Frame35", 120, 1200, 375, 375, "", "", "7", {"7"}},
    {"m8", Kind::Key, "Frame35", 600, 1200, 375, 375, "", "", "8", {"8"}},
    {"m9", Kind::Key, "Frame35", 1080, 1200, 375, 375, "", "", "9", {"9"}},
    {"m0", Kind::Key, "Frame35", 120, 1680, 375, 375, "", "", "0", {"0"}},
    {"mRecall", Kind::Key, "", 5280, 2640, 735, 375, "", "", "Recall", {}},
    {"mMute", Kind::Key, "", 5280, 1680, 735, 375, "", "", "Mute", {}},
    {"mVolume", Kind::Key, "", 6120, 1680, 735, 375, "", "", "Volume", {}},
    {"mContrast", Kind::Key, "", 0, 1320, 735, 375, "", "", "Contrast", {}},
    {"mExit", Kind::Key, "", 3720, 4920, 735, 375, "", "", "Exit", {"Esc"}},
    {"mEnter", Kind::Key, "", 2880, 4920, 735, 375, "", "", "Enter", {"Return; Enter"}},
    {"mAsterick", Kind::Key, "", 5640, 120, 375, 375, "", "", "Star", {"*"}, kAsteriskPointSize},
    {"mTint", Kind::Key, "", 840, 1800, 735, 375, "", "", "Tint", {}},
    {"mDetail", Kind::Key, "", 840, 2280, 735, 375, "", "", "Detail", {}},
    {"mBrite", Kind::Key, "", 0, 1800, 735, 375, "", "", "Brite", {}},
    {"mPic", Kind::Key, "", 3840, 2640, 735, 375, "", "", "Pic", {}},
    {"mGeom", Kind::Key, "", 3000, 2160, 735, 375, "", "", "Geom", {}},
    {"mConv", Kind::Key, "", 2040, 4920, 735, 375, "", "", "Conv", {}},
    {"mHelp", Kind::Key, "", 6120, 120, 735, 375, "", "", "Help", {}},
    {"mUtil", Kind::Key, "", 3000, 2640, 735, 375, "", "", "Util", {}},
    {"mColour", Kind::Key, "", 0, 2280, 735, 375, "", "", "Colour", {}},
    {"mPound", Kind::Key, "", 4800, 4920, 375, 375, "", "", "Hash", {"#"}},
}));
// clang-format on

// Row indices below are ints so that a failed check prints the row, as in "(14 == -1)".
inline constexpr int kNoRow = -1;

// The first row that sits in a frame not listed above it, repeats a name above it, or is a key
// without a row in the key table; or kNoRow.
consteval int firstUnsoundRow() {
    for (std::size_t i = 0; i < kKeypadLayout.size(); ++i) {
        const ControlLayout& row = kKeypadLayout[i];
        bool inFrame = row.container.empty();
        for (std::size_t j = 0; j < i; ++j) {
            if (kKeypadLayout[j].name == row.name) return static_cast<int>(i);
            inFrame = inFrame || (kKeypadLayout[j].kind == Kind::Frame &&
                                  kKeypadLayout[j].name == row.container);
        }
        if (!inFrame || (row.kind == Kind::Key && !hasKey(row.name))) return static_cast<int>(i);
    }
    return kNoRow;
}

// The first key table row that has no key row in the layout, or kNoRow.
consteval int firstKeyWithoutButton() {
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        bool found = false;
        for (const ControlLayout& row : kKeypadLayout)
            found = found || (row.kind == Kind::Key && row.name == kKeys[i].control);
        if (!found) return static_cast<int>(i);
    }
    return kNoRow;
}

static_assert(firstUnsoundRow() == kNoRow,
              "keypad layout row (index above) sits in a frame not listed before it, has a name "
              "taken above it, or is a key without a key table row");
static_assert(firstKeyWithoutButton() == kNoRow,
              "key table row (index above) has no key in the keypad layout");

}  // namespace tolvane
