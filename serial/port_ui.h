#pragma once

#include <string_view>

namespace tolvane {

// The two things port selection needs from the window: the menu's check marks and a message box.
class PortUi {
  public:
    virtual ~PortUi() = default;
    // item is 1 to 4, the Comm menu item of that port number.
    virtual void setPortChecked(int item, bool checked) = 0;
    // Modal message box: caption "Tolvane", OK only, no icon; returns when dismissed.
    virtual void showMessage(std::string_view text) = 0;
};

}  // namespace tolvane
