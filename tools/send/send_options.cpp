#include "send/send_options.h"

#include <optional>

#include "protocol/key_names.h"
#include "protocol/key_table.h"

namespace tolvane::send {
namespace {

// "Comm3" or "COM3", in any case: the number; nullopt for anything else.
std::optional<std::string_view> commNumber(std::string_view text) {
    for (const std::string_view prefix : {std::string_view("comm"), std::string_view("com")}) {
        if (text.size() <= prefix.size() ||
            !equalIgnoringCase(text.substr(0, prefix.size()), prefix))
            continue;
        const std::string_view digits = text.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") == std::string_view::npos) return digits;
    }
    return std::nullopt;
}

std::variant<PortChoice, UsageError> parsePort(std::string_view text) {
    if (text.empty()) return UsageError{"--port needs a port: Comm1 to Comm4, or a device"};
    if (const auto digits = commNumber(text)) {
        if (digits->size() == 1 && (*digits)[0] >= '1' && (*digits)[0] <= '0' + kPortCount)
            return PortChoice{(*digits)[0] - '0', {}};
        return UsageError{"there is no port '" + printable(text) +
                          "': the ports are Comm1 to Comm4, or a device such as /dev/ttyUSB0"};
    }
    return PortChoice{kDefaultPort, std::string(text)};
}

std::variant<std::chrono::milliseconds, UsageError> parseDelay(std::string_view text) {
    const UsageError bad{"--delay '" + printable(text) +
                         "' is not a whole number of milliseconds from 0 to " +
                         std::to_string(kMaxDelay.count())};
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return bad;
    long value = 0;
    for (const char c : text) value = value * 10 + (c - '0');
    if (value > kMaxDelay.count()) return bad;
    return std::chrono::milliseconds(value);
}

std::string_view actionOption(Action action) {
    switch (action) {
        case Action::Check:
            return "--check";
        case Action::ListKeys:
            return "--list-keys";
        case Action::ListPorts:
            return "--list-ports";
        case Action::Send:
        case Action::Help:
        case Action::Version:
            break;
    }
    return "";
}

}  // namespace

std::variant<SendOptions, UsageError> parseOptions(std::span<const std::string> arguments) {
    SendOptions options;
    bool portGiven = false;
    bool delayGiven = false;
    bool optionsEnded = false;
    std::vector<std::string_view> keyNames;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            keyNames.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            options.action = Action::Help;
            return options;
        }
        if (argument == "--version") {
            options.action = Action::Version;
            return options;
        }
        // --name=value or --name value, for the two options that take one.
        std::string_view name = argument;
        std::optional<std::string_view> value;
        if (const auto equals = argument.find('=');
            argument.starts_with("--") && equals != argument.npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        if (name == "--port" || name == "--delay") {
            if (!value) {
                if (i + 1 >= arguments.size())
                    return UsageError{std::string(name) + " needs a value"};
                value = arguments[++i];
            }
            if (name == "--port") {
                if (portGiven) return UsageError{"--port is given more than once"};
                portGiven = true;
                auto port = parsePort(*value);
                if (auto* error = std::get_if<UsageError>(&port)) return *error;
                options.port = std::get<PortChoice>(std::move(port));
            } else {
                if (delayGiven) return UsageError{"--delay is given more than once"};
                delayGiven = true;
                const auto delay = parseDelay(*value);
                if (const auto* error = std::get_if<UsageError>(&delay)) return *error;
                options.delay = std::get<std::chrono::milliseconds>(delay);
            }
            continue;
        }
        if (argument == "--direct") {
            options.direct = true;
            continue;
        }
        Action action = Action::Send;
        if (argument == "--check") action = Action::Check;
        if (argument == "--list-keys") action = Action::ListKeys;
        if (argument == "--list-ports") action = Action::ListPorts;
        if (action == Action::Send || value)
            return UsageError{"unknown option '" + printable(argument) + "'"};
        if (options.action != Action::Send && options.action != action)
            return UsageError{std::string(actionOption(options.action)) + " and " +
                              std::string(actionOption(action)) + " exclude each other"};
        options.action = action;
    }

    switch (options.action) {
        case Action::Send:
            if (keyNames.empty()) return UsageError{"no key given"};
            break;
        case Action::Check:
            if (delayGiven) return UsageError{"--delay is for sending keys, not for --check"};
            [[fallthrough]];
        case Action::ListKeys:
        case Action::ListPorts:
            if (!keyNames.empty())
                return UsageError{std::string(actionOption(options.action)) +
                                  " takes no keys, but '" + printable(keyNames.front()) +
                                  "' is given"};
            if (options.action != Action::Check && (portGiven || delayGiven || options.direct))
                return UsageError{std::string(actionOption(options.action)) +
                                  " takes no --port, --delay or --direct"};
            break;
        case Action::Help:
        case Action::Version:
            break;
    }
    // Every key is known before the port is opened: one bad name sends nothing at all.
    for (const std::string_view name : keyNames) {
        const std::size_t row = keyIndexForName(name);
        if (row >= kKeys.size())
            return UsageError{"unknown key '" + printable(name) + "' (nearest known: '" +
                              std::string(nearestKeyName(name)) +
                              "'); nothing was sent. 'tolvane-send --list-keys' shows them all"};
        options.keys.push_back(row);
    }
    return options;
}

}  // namespace tolvane::send
