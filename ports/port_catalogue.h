// ports/: what a Comm item stands for on this machine, what is there, and why it would not open.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ports/port_mapping.h"

namespace tolvane {

// What COMn stands for on this machine right now: TOLVANE_COMn when it is set, else the n-th
// serial port present (see deviceForPort).
PortAddress addressForPort(int port);

// What is known now of a serial device: whether it is there, the device behind its name, and
// for a USB adapter its maker, serial number and stable names.
struct DeviceFacts {
    bool present = false;
    std::string device;  // the name with links followed; empty when absent
    std::string maker;
    std::string serialNumber;
    std::vector<std::string> stableNames;  // under /dev/serial/by-id
};
DeviceFacts deviceFacts(const std::string& name);

// For the user choosing a port, as UTF-8 text: "/dev/ttyUSB0: FTDI, serial number A600ABCD",
// "/dev/ttyS3: nothing is there", or what kind of device server an address is.
std::string describeAddress(const PortAddress& address);

// Who a USB serial adapter is, as far as the system tells: its /dev/serial/by-id name, and its
// maker and product (USB vendor and product IDs) with its serial number. Empty for a built-in
// port or a pseudo-terminal: those are known by their name only.
struct PortIdentity {
    std::string byId;  // the link's name under /dev/serial/by-id, without the folder
    std::string vendorId;
    std::string productId;
    std::string serialNumber;

    bool known() const { return !byId.empty() || !serialNumber.empty(); }
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
// Said after a failed open of `address`, besides the system's reason: the hints above for what
// is known now of the device, its group, brltty and ModemManager. error is the system's error
// number, or 0.
std::vector<std::string> openFailureHints(const PortAddress& address, int error);

// The hints as text to append to the reason: a question in parentheses, a fix after "; ".
std::string joinHints(const std::vector<std::string>& hints);

}  // namespace tolvane
