#pragma once

#include <QRect>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::testing {

// tests/data/keypad.json: the frames and the keypad layout, written down once and shared with
// the Python tests. Expected bytes come from here, never from the program's own tables.
struct ExpectedFrame {
    QString name;
    QString title;
    QRect twips;
};

struct ExpectedControl {
    QString name;
    QString container;  // a frame's name, or "window"
    QRect twips;
    QString caption;
    std::string leadIn;  // empty for a button that is not a remote key
    std::string keyFrame;
    std::uint8_t payload1 = 0;  // of the key frame's payload
    std::uint8_t code = 0;
    QString shortcut;  // the computer key that presses it, as QKeySequence writes it; or empty
};

struct KeypadData {
    std::string probe;
    std::vector<ExpectedFrame> frames;
    std::vector<ExpectedControl> controls;  // in focus order
    std::vector<ExpectedControl> keys() const;
    const ExpectedControl& control(const QString& name) const;
};

// Read once; a missing or malformed file throws std::runtime_error naming what is wrong.
const KeypadData& keypadData();

}  // namespace tolvane::testing
