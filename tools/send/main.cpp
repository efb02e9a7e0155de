// tolvane-send: the panel's keys and its connection check from a command line, with no display.
// The frames, their writing and the check are the panel's own code; only the way in differs.

#include <dlfcn.h>

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QSerialPortInfo>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ports/port_catalogue.h"
#include "process/stop_requests.h"
#include "protocol/hex_text.h"
#include "protocol/key_table.h"
#include "send/remote.h"
#include "send/route.h"
#include "send/send_options.h"
#include "serial/messages.h"
#include "serial/port_manager.h"
#include "serial/quiet_check.h"
#include "transport/device_transport.h"
#include "transport/serial_layer.h"

using namespace tolvane;
using namespace tolvane::send;

namespace {

// The most one key's frames may take to leave: on a 9600-baud line they take 25 ms; more
// means the far end does not read.
constexpr std::chrono::milliseconds kDrainTimeout{10000};

constexpr const char* kUsage =
    "usage: tolvane-send [--port PORT] [--delay MS] [--direct] KEY...\n"
    "       tolvane-send --check [--port PORT] [--direct]\n"
    "       tolvane-send --list-keys | --list-ports | --help | --version\n"
    "\n"
    "Sends the projector the keys of the Tolvane panel, in order, as the panel does.\n"
    "\n"
    "  KEY            a plain name (volume, power-off, up, 7, star, hash) or a control\n"
    "                 name (mVolume); case does not matter; see --list-keys\n"
    "  --port PORT    Comm1 to Comm4 (as the panel maps them, TOLVANE_COMn included) or a\n"
    "                 device such as /dev/ttyUSB0, or a serial device server:\n"
    "                 tcp://HOST:PORT (raw) or rfc2217://HOST:PORT; default Comm1.\n"
    "                 9600 baud, 8N1\n"
    "  --delay MS     wait MS milliseconds between keys, 0 to 60000; default 0\n"
    "  --check        probe the projector, wait at most 1 s for a reply, print the result\n"
    "  --direct       always open the port here; without it, a running panel that holds\n"
    "                 the port sends the keys and runs the check (over the session bus)\n"
    "  --list-keys    print every key: plain name, control name, caption, key frame\n"
    "  --list-ports   print Comm1 to Comm4 with their devices, then other serial ports\n"
    "\n"
    "Exit status: 0 sent (or responding), 1 the port could not be opened or written,\n"
    "2 usage error, 3 not responding, 130/143 stopped by SIGINT/SIGTERM.\n";

// An entry point of the module, which is loaded on first use.
void* remote(const char* name) {
    static void* module = nullptr;
    if (!module) {
        const QString path = QCoreApplication::applicationDirPath() + "/" TOLVANE_SEND_MODULE;
        module = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    }
    if (void* entry = module ? ::dlsym(module, name) : nullptr) return entry;
    const char* why = ::dlerror();
    throw Transport::Failure(
        std::string("the module for device servers and the session bus cannot be loaded: ") +
        (why ? why : name));
}
// The entry point of that name, as remote.h declares it.
#define REMOTE(entry) reinterpret_cast<decltype(&entry)>(remote(#entry))

bool isServer(const PortAddress& address) {
    return address.kind == PortAddress::Kind::Tcp || address.kind == PortAddress::Kind::Rfc2217;
}

// The one port this run talks through. The address is fixed for this run, whatever
// TOLVANE_COMn says later.
class Port {
  public:
    explicit Port(const PortChoice& choice)
        : address_(choice.device.empty() ? addressForPort(choice.comm)
                                         : parsePortName(choice.device)),
          layer_([](const PortAddress& address) -> std::unique_ptr<Transport> {
              if (isServer(address)) return networkTransport();
              return std::make_unique<DeviceTransport>();
          }) {
        layer_.CommPort(static_cast<std::int16_t>(choice.comm));
        layer_.setAddress(address_);
    }
    SerialLayer& layer() { return layer_; }
    bool server() const { return isServer(address_); }
    // The device or address of the last open attempt, printable.
    std::string where() const { return printable(layer_.where()); }

  private:
    PortAddress address_;
    SerialLayer layer_;
};

// The panel's message for the failure, then the system's reason and the likely fix.
Failure failureOf(const SerialError& error, const Port& port) {
    return {std::string(messageFor(error.kind())),
            port.where() + ": " + error.what() + error.hint()};
}

// The port opened here: each key written and drained, the check on its own line.
class DirectRoute final : public Route {
  public:
    explicit DirectRoute(Port& port) : port_(port) {}

    std::optional<Failure> press(std::size_t row) override {
        try {
            sendKey(port_.layer(), kKeys[row]);
            port_.layer().drain(kDrainTimeout);
            return std::nullopt;
        } catch (const SerialError& error) {
            return failureOf(error, port_);
        }
    }

    void check(CheckDone done) override {
        check_.emplace(port_.layer())
            .start([done](QuietCheck::Result result, std::string_view message) {
                using enum QuietCheck::Result;
                done(result == Responding      ? CheckResult::Responding
                     : result == NotResponding ? CheckResult::NotResponding
                                               : CheckResult::Failed,
                     {std::string(message), {}});  // empty but for Failed and Interrupted
            });
    }

  private:
    Port& port_;
    std::optional<QuietCheck> check_;
};

int listKeys() {
    for (const KeyCommand& key : kKeys) {
        const std::string frame = toHex(keyFrame(key));
        std::printf("%-12.*s %-13.*s %-10.*s %s\n", int(key.plain.size()), key.plain.data(),
                    int(key.control.size()), key.control.data(), int(key.caption.size()),
                    key.caption.data(), frame.c_str());
    }
    return std::fflush(stdout) == 0 ? kExitSent : kExitPortFailed;
}

// A device name as --list-ports prints it: control bytes and the backslash as \xNN, so that a
// name cannot play tricks on the terminal; other bytes, UTF-8 included, as they are.
std::string shown(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

void printPort(const std::string& label, const std::string& name) {
    const DeviceFacts facts = deviceFacts(name);
    std::vector<std::string> said;
    if (!facts.maker.empty()) said.push_back("maker " + shown(facts.maker));
    if (!facts.serialNumber.empty()) said.push_back("serial number " + shown(facts.serialNumber));
    for (const std::string& stable : facts.stableNames) said.push_back(shown(stable));
    if (!facts.present) said.push_back("not present");
    std::string line = label + "  " + shown(name);
    for (std::size_t i = 0; i < said.size(); ++i)
        line += (i == 0 ? "  (" : ", ") + said[i] + (i + 1 == said.size() ? ")" : "");
    std::printf("%s\n", line.c_str());
}

int listPorts() {
    std::vector<std::string> mapped;
    for (int n = 1; n <= kPortCount; ++n) {
        const std::string name = addressForPort(n).path;
        mapped.push_back(deviceFacts(name).device);
        printPort("Comm" + std::to_string(n), name);
    }
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const std::string name = QFile::encodeName(info.systemLocation()).toStdString();
        if (std::find(mapped.begin(), mapped.end(), deviceFacts(name).device) == mapped.end())
            printPort("other", name);
    }
    return std::fflush(stdout) == 0 ? kExitSent : kExitPortFailed;
}

}  // namespace

std::unique_ptr<Route> tolvane::send::routeThroughPanel(const PortChoice& port) {
    return std::unique_ptr<Route>(REMOTE(tolvaneSendPanelRoute)(port));
}

std::unique_ptr<Transport> tolvane::send::networkTransport() {
    return std::unique_ptr<Transport>(REMOTE(tolvaneSendNetworkTransport)());
}

int main(int argc, char* argv[]) {
    // Arguments are bytes: a device name need not be text.
    const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
    const auto parsed = parseOptions(arguments);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        note(error->message);
        note("Try 'tolvane-send --help'.");
        return kExitUsage;
    }
    const SendOptions& options = std::get<SendOptions>(parsed);
    // A reader that goes away (tolvane-send --list-keys | head) ends the output, not us.
    std::signal(SIGPIPE, SIG_IGN);
    switch (options.action) {
        case Action::Help:
            std::fputs(kUsage, stdout);
            return std::fflush(stdout) == 0 ? kExitSent : kExitPortFailed;
        case Action::Version:
            std::printf("tolvane-send %s\n", TOLVANE_VERSION);
            return std::fflush(stdout) == 0 ? kExitSent : kExitPortFailed;
        case Action::ListKeys:
            return listKeys();
        case Action::Send:
        case Action::Check:
        case Action::ListPorts:
            break;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tolvane-send");
    QCoreApplication::setApplicationVersion(TOLVANE_VERSION);
    // The serial layer's warnings give the panel's terminal the reasons its message boxes leave
    // out; here every failure prints its message and reason once, below.
    QLoggingCategory::setFilterRules(QStringLiteral("tolvane.serial.warning=false"));
    if (options.action == Action::ListPorts) return listPorts();

    try {
        // Handlers first, so that a stop asked for while the port opens is seen too.
        Stops stops;
        Port port(options.port);
        // A running panel that holds the port sends for us. A panel holds its device locked
        // while it has it open, so it is asked only when the device does not open here; a device
        // server is asked for first, as a connection from here could take it from the panel.
        std::unique_ptr<Route> route;
        if (!options.direct && port.server()) route = routeThroughPanel(options.port);
        if (!route) {
            try {
                port.layer().Settings(kLineSettings);
                port.layer().PortOpen(true);
                port.layer().awaitOpen();
                route = std::make_unique<DirectRoute>(port);
            } catch (const SerialError& error) {
                if (!options.direct && !port.server()) route = routeThroughPanel(options.port);
                if (!route) {
                    print(failureOf(error, port));
                    return kExitPortFailed;
                }
            }
        }
        return run(*route, options, stops);
    } catch (const std::exception& e) {
        note(e.what());
        return kExitPortFailed;
    }
}
