#pragma once

#include <string>
#include <vector>

namespace tolvane {

// What is known about a device that could not be opened and the services around it.
struct OpenFailureFacts {
    enum class Why { Denied, Busy, Missing, Other };
    Why why = Why::Other;
    std::string deviceGroup;    // the group the device belongs to, when that group may open it
    bool inDeviceGroup = true;  // the user is a member of deviceGroup
    bool usbAdapter = false;    // a USB serial adapter's name (ttyUSB*, ttyACM*)
    bool brlttyInstalled = false;
    bool modemManagerRunning = false;
    bool mayAccess = false;  // the user may read and write the device (so another program holds it)
};

// The usual culprits that fit the failure, each with its one-line fix, or a question.
std::vector<std::string> openFailureHints(const OpenFailureFacts& facts);

// The hints as text to append to the reason: a question in parentheses, a fix after "; ".
std::string joinHints(const std::vector<std::string>& hints);

}  // namespace tolvane
