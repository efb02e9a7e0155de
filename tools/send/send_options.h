#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/hex_text.h"  // printable(), for the messages
#include "serial/comm_ports.h"

namespace tolvane::send {

inline constexpr std::chrono::milliseconds kMaxDelay{60000};
inline constexpr int kDefaultPort = 1;

// Exit statuses, as the manual lists them.
inline constexpr int kExitSent = 0;
inline constexpr int kExitPortFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotResponding = 3;

enum class Action { Send, Check, ListKeys, ListPorts, Help, Version };

// A Comm item (1 to 4), or a device named directly (then `device` is not empty).
struct PortChoice {
    int comm = kDefaultPort;
    std::string device;
};

struct SendOptions {
    Action action = Action::Send;
    PortChoice port;
    std::chrono::milliseconds delay{0};
    std::vector<std::size_t> keys;  // rows of kKeys, in the order given
    bool direct = false;            // open the port even when a running panel holds it
};

struct UsageError {
    std::string message;
};

// Reads the arguments after the program name, taken as bytes. Every key is looked up before
// anything else happens; anything wrong comes back as the one message to show.
std::variant<SendOptions, UsageError> parseOptions(std::span<const std::string> arguments);

}  // namespace tolvane::send
