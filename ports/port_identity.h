#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvane {

// Who a USB serial adapter is, as far as the system tells: its /dev/serial/by-id name, and its
// maker and product (USB vendor and product IDs) with its serial number. Empty for a built-in
// port or a pseudo-terminal: those are known by their name only.
struct PortIdentity {
    std::string byId;  // the link's name under /dev/serial/by-id, without the folder
    std::string vendorId;
    std::string productId;
    std::string serialNumber;

    bool known() const { return !byId.empty() || !serialNumber.empty(); }
    friend bool operator==(const PortIdentity&, const PortIdentity&) = default;
};

// A serial device present now and who it is.
struct PresentPort {
    std::string device;
    PortIdentity identity;
};

// The present device that is the adapter `wanted`, whatever its name now: the one with the same
// by-id name, else the only one of the same maker and product with the same serial number.
// nullopt when none is, when two could be, or when `wanted` says too little to tell.
std::optional<std::string> findAdapter(const PortIdentity& wanted,
                                       std::span<const PresentPort> present);

// What the system knows of the device at `device` (a path in /dev) now.
PortIdentity identityOf(const std::string& device);
// The serial devices present now with their identities; with `details`, also the IDs and
// serial numbers (slower: every port is looked up), else the by-id names only.
std::vector<PresentPort> presentPorts(bool details);

}  // namespace tolvane
