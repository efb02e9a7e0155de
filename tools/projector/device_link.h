#pragma once

#include <string>

namespace tolvane::projector {

// A symbolic link to the simulated device, so the panel can be pointed at a fixed path.
// It replaces only a stale link (one whose target is gone, or one an earlier simulator made
// and left behind when it was killed, as its owner file beside the link tells) and refuses
// anything else, so it never destroys a file or a live link.
class DeviceLink {
  public:
    // Makes `path` a link to `target`; throws std::runtime_error saying why it cannot.
    DeviceLink(std::string path, std::string target);
    // Removes the link, unless someone has since made it point elsewhere.
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

  private:
    std::string path_;
    std::string target_;
};

}  // namespace tolvane::projector
