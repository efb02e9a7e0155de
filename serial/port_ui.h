#pragma once

#include <string_view>

namespace tolvane {

// The two things port selection needs from the window: the menu's check marks and a message box.
class PortUi {
  public:
    virtual ~PortUi() = default;
    // item is 1 to 4, the Comm menu item of that port number.
    virtual void setPortChecked(int item, bool checked) = 0;
    // Modal message box: caption "Tolvane", OK only, no icon; returns when dismissed. The
    // details, if any, are the box's further text under the message.
    virtual void showMessage(std::string_view text, std::string_view details = {}) = 0;
};

}  // namespace tolvane
