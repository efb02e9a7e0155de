#include "send/send_options.h"

#include <getopt.h>

#include <algorithm>
#include <optional>
#include <utility>

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

// getopt_long's codes: 1 for a key (keys stay in their place among the options), an action's
// own code (its value above 0xFF), or a letter.
constexpr int kKey = 1;
constexpr int code(Action action) {
    return 0x100 + int(action);
}
constexpr option kOptions[] = {
    {"port", required_argument, nullptr, 'p'},
    {"delay", required_argument, nullptr, 'd'},
    {"direct", no_argument, nullptr, 'D'},
    {"check", no_argument, nullptr, code(Action::Check)},
    {"list-keys", no_argument, nullptr, code(Action::ListKeys)},
    {"list-ports", no_argument, nullptr, code(Action::ListPorts)},
    {"help", no_argument, nullptr, code(Action::Help)},
    {"version", no_argument, nullptr, code(Action::Version)},
    {nullptr, 0, nullptr, 0},
};

std::string spelling(Action action) {
    for (const option& o : kOptions)
        if (o.name != nullptr && o.val == code(action)) return std::string("--") + o.name;
    return {};
}

}  // namespace

std::variant<SendOptions, UsageError> parseOptions(std::span<const std::string> arguments) {
    // getopt_long reads C strings (it never writes them) and keeps its place in globals:
    // optind = 0 starts it afresh (glibc). "-" keeps keys in their place, ":" tells a missing
    // value from an unknown option, opterr = 0 leaves every message to us.
    std::vector<char*> argv{const_cast<char*>("tolvane-send")};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int argc = int(argv.size()) - 1;
    optind = 0;
    opterr = 0;

    SendOptions options;
    bool portGiven = false;
    bool delayGiven = false;
    std::vector<std::string_view> keyNames;
    for (int at = 1, index = -1, got = 0;
         (got = getopt_long(argc, argv.data(), "-:h", kOptions, &index)) != -1;
         at = optind, index = -1) {
        const std::string_view argument = argv[at];  // the one getopt_long has just read
        if (got == kKey) {
            keyNames.push_back(argument);
            continue;
        }
        // getopt_long also takes abbreviations (--chec) and bundles (-hx): only whole names count.
        const std::string name = index >= 0 ? "--" + std::string(kOptions[index].name) : "-h";
        if (got == ':' && (argument == "--port" || argument == "--delay"))
            return UsageError{std::string(argument) + " needs a value"};
        if (got == '?' || got == ':' ||
            (argument != name && !(optarg != nullptr && argument.starts_with(name + '='))))
            return UsageError{"unknown option '" + printable(argument) + "'"};
        if (got == 'p') {
            if (std::exchange(portGiven, true)) return UsageError{"--port is given more than once"};
            auto port = parsePort(optarg);
            if (auto* error = std::get_if<UsageError>(&port)) return *error;
            options.port = std::get<PortChoice>(std::move(port));
        } else if (got == 'd') {
            if (std::exchange(delayGiven, true))
                return UsageError{"--delay is given more than once"};
            const auto delay = parseDelay(optarg);
            if (const auto* error = std::get_if<UsageError>(&delay)) return *error;
            options.delay = std::get<std::chrono::milliseconds>(delay);
        } else if (got == 'D') {
            options.direct = true;
        } else {
            const auto action = got == 'h' ? Action::Help : Action(got - code(Action::Send));
            const bool alone = action == Action::Help || action == Action::Version;
            if (!alone && options.action != Action::Send && options.action != action)
                return UsageError{spelling(options.action) + " and " + spelling(action) +
                                  " exclude each other"};
            options.action = action;
            if (alone) return options;
        }
    }
    for (int i = optind; i < argc; ++i) keyNames.push_back(argv[i]);  // those after "--"

    if (options.action == Action::Send && keyNames.empty()) return UsageError{"no key given"};
    if (options.action == Action::Check && delayGiven)
        return UsageError{"--delay is for sending keys, not for --check"};
    if (options.action != Action::Send && !keyNames.empty())
        return UsageError{spelling(options.action) + " takes no keys, but '" +
                          printable(keyNames.front()) + "' is given"};
    if ((options.action == Action::ListKeys || options.action == Action::ListPorts) &&
        (portGiven || delayGiven || options.direct))
        return UsageError{spelling(options.action) + " takes no --port, --delay or --direct"};
    // Every key is known before the port is opened: one bad name sends nothing at all.
    for (const std::string_view name : keyNames) {
        const std::size_t row = keyIndexForName(name);
        if (row < kKeys.size()) {
            options.keys.push_back(row);
            continue;
        }
        const auto close = closeKeyName(name);
        return UsageError{"unknown key '" + printable(name) + "' (" +
                          (close ? "nearest known: '" + std::string(*close) + "'"
                                 : std::string("no known name is close")) +
                          "); nothing was sent. 'tolvane-send --list-keys' shows them all"};
    }
    return options;
}

}  // namespace tolvane::send
