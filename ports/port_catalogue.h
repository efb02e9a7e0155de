// ports/: what a Comm item stands for on this machine, what is there, and why it would not open.
#pragma once

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

// Said after a failed open of `address`, besides the system's reason: the usual culprits that
// fit (access rights and the device's group, brltty, ModemManager), each with its fix (see
// openFailureHints). error is the system's error number, or 0.
std::vector<std::string> openFailureHints(const PortAddress& address, int error);

}  // namespace tolvane
