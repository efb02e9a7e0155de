#pragma once

#include <string>

namespace tolvane::projector {

// A pseudo-terminal in raw mode: the panel opens the terminal end by its path, the simulator
// reads and writes the controller end. The simulator keeps its own descriptor of the terminal
// end, so the panel closing the port never hangs up the controller end (no EIO, no busy
// wake-ups) and the panel can open it again.
class PtyDevice {
  public:
    // Throws std::system_error when no pseudo-terminal can be had.
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // Non-blocking.
    int controller() const { return controller_; }
    const std::string& path() const { return path_; }

  private:
    int controller_ = -1;
    int terminal_ = -1;
    std::string path_;
};

}  // namespace tolvane::projector
