// tolvane-send: the panel's keys and its connection check from a command line, with no display.
// The frames, their writing and the check are the panel's own code; only the way in differs.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSerialPortInfo>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ports/port_catalogue.h"
#include "process/stop_requests.h"
#include "protocol/hex_text.h"
#include "protocol/key_names.h"
#include "send/bus_client.h"
#include "send/console_check.h"
#include "send/key_pause.h"
#include "send/send_options.h"
#include "serial/messages.h"
#include "serial/port_manager.h"
#include "transport/serial_layer.h"
#include "ui/keypad_layout.h"

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

void note(const std::string& text) {
    std::fprintf(stderr, "tolvane-send: %s\n", text.c_str());
}

// The one port this run talks through. The address is fixed for this run, whatever
// TOLVANE_COMn says later.
class Port {
  public:
    explicit Port(const PortChoice& choice) {
        layer_.CommPort(static_cast<std::int16_t>(choice.comm));
        layer_.setAddress(choice.device.empty() ? addressForPort(choice.comm)
                                                : parsePortName(choice.device));
    }
    SerialLayer& layer() { return layer_; }
    // The device or address of the last open attempt, printable.
    std::string where() const { return printable(layer_.where()); }

  private:
    SerialLayer layer_;
};

// The panel's message for the failure, then the system's reason and the likely fix.
void reportFailure(const SerialError& error, const Port& port) {
    std::fprintf(stderr, "%.*s\n", int(messageFor(error.kind()).size()),
                 messageFor(error.kind()).data());
    note(port.where() + ": " + error.what() + error.hint());
}

// What a key's caption says; the arrow keys show pictures, so their spoken name.
std::string_view captionOf(std::string_view control) {
    for (const ControlLayout& row : kKeypadLayout)
        if (row.name == control) return row.caption.empty() ? row.accessibleName : row.caption;
    return {};
}

int listKeys() {
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        const std::string frame = toHex(keyFrame(kKeys[i]));
        const std::string_view caption = captionOf(kKeys[i].control);
        std::printf("%-12.*s %-13.*s %-10.*s %s\n", int(kKeyNames[i].plain.size()),
                    kKeyNames[i].plain.data(), int(kKeys[i].control.size()),
                    kKeys[i].control.data(), int(caption.size()), caption.data(), frame.c_str());
    }
    return std::fflush(stdout) == 0 ? kExitSent : kExitPortFailed;
}

// The stable names under /dev/serial/by-id that lead to this device.
QStringList stableNames(const QString& device) {
    QStringList names;
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty()) return names;
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link :
         byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (link.canonicalFilePath() == target) names << link.absoluteFilePath();
    return names;
}

void printPort(const QString& label, const QString& device, const QList<QSerialPortInfo>& present) {
    QStringList facts;
    const QString target = QFileInfo(device).canonicalFilePath();
    for (const QSerialPortInfo& info : present) {
        if (target.isEmpty() || QFileInfo(info.systemLocation()).canonicalFilePath() != target)
            continue;
        if (!info.manufacturer().isEmpty()) facts << "maker " + info.manufacturer();
        if (!info.serialNumber().isEmpty()) facts << "serial number " + info.serialNumber();
    }
    facts << stableNames(device);
    if (target.isEmpty()) facts << QStringLiteral("not present");
    const QByteArray line =
        (label + "  " + device + (facts.isEmpty() ? QString() : "  (" + facts.join(", ") + ")"))
            .toLocal8Bit();
    std::printf("%s\n", line.constData());
}

int listPorts() {
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    QStringList mapped;
    for (int n = 1; n <= kPortCount; ++n) {
        const QString device = QFile::decodeName(QByteArray::fromStdString(addressForPort(n).path));
        mapped << QFileInfo(device).canonicalFilePath();
        printPort(QStringLiteral("Comm%1").arg(n), device, present);
    }
    for (const QSerialPortInfo& info : present) {
        const QString canonical = QFileInfo(info.systemLocation()).canonicalFilePath();
        if (!mapped.contains(canonical))
            printPort(QStringLiteral("other"), info.systemLocation(), present);
    }
    return std::fflush(stdout) == 0 ? kExitSent : kExitPortFailed;
}

// The conventional status of a program ended by a signal: 128 plus its number.
int statusForStop(const QString& why) {
    if (why == QLatin1String("SIGINT")) return 128 + SIGINT;
    if (why == QLatin1String("SIGTERM")) return 128 + SIGTERM;
    if (why == QLatin1String("SIGHUP")) return 128 + SIGHUP;
    return 128 + SIGTERM;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Arguments are bytes: a device name need not be text.
    const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
    const auto parsed = parseOptions(arguments);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        note(error->message + "\nTry 'tolvane-send --help'.");
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
        StopRequests stops(StopRequests::Input::Ignore);
        int stopStatus = 0;
        Port port(options.port);
        ConsoleCheck check(port.layer());
        QObject::connect(&stops, &StopRequests::stopRequested, &app, [&](const QString& why) {
            if (stopStatus == 0) stopStatus = statusForStop(why);
            check.stop();
        });
        // A running panel that holds the port sends for us.
        if (const auto status = throughPanel(options, stops, stopStatus)) return *status;

        try {
            port.layer().Settings(kLineSettings);
            port.layer().PortOpen(true);
            port.layer().awaitOpen();
        } catch (const SerialError& error) {
            reportFailure(error, port);
            return kExitPortFailed;
        }

        if (options.action == Action::Check) {
            switch (check.run()) {
                case ConsoleCheck::Result::Responding:
                    std::printf("%.*s\n", int(kRespondingText.size()), kRespondingText.data());
                    return kExitSent;
                case ConsoleCheck::Result::NotResponding:
                    std::printf("%.*s\n", int(kNotRespondingText.size()),
                                kNotRespondingText.data());
                    return kExitNotResponding;
                case ConsoleCheck::Result::Failed:
                    std::fprintf(stderr, "%s\n", check.message().c_str());
                    return kExitPortFailed;
                case ConsoleCheck::Result::Stopped:
                    break;
            }
            note("check stopped before a result");
            return stopStatus != 0 ? stopStatus : kExitPortFailed;
        }

        std::size_t sent = 0;
        for (const std::size_t row : options.keys) {
            if (!readyForKey(sent, options.delay, stops, stopStatus)) break;
            try {
                sendKey(port.layer(), kKeys[row]);
                port.layer().drain(kDrainTimeout);
            } catch (const SerialError& error) {
                reportFailure(error, port);
                if (sent > 0)
                    note(std::to_string(sent) + " of " + std::to_string(options.keys.size()) +
                         " keys were sent before");
                return kExitPortFailed;
            }
            ++sent;
        }
        port.layer().PortOpen(false);
        if (stopStatus != 0) {
            note("stopped after " + std::to_string(sent) + " of " +
                 std::to_string(options.keys.size()) + " keys");
            return stopStatus;
        }
        return kExitSent;
    } catch (const std::exception& e) {
        note(e.what());
        return kExitPortFailed;
    }
}
