// app/: program start. Chooses the serial layer and hands it to the keypad window.
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusMessage>
#include <QScopeGuard>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "bus/bus_names.h"
#include "bus/panel_service.h"
#include "ports/port_catalogue.h"
#include "process/stop_requests.h"
#include "transport/serial_layer.h"
#include "ui/frm_tolvane.h"

namespace {

constexpr int kNoDisplay = 1;  // also any other failure to start the window system
constexpr int kUsageError = 2;
constexpr const char* kNoDisplayLine = "tolvane: no display: set DISPLAY or WAYLAND_DISPLAY\n";

// Whether any argument is one of `flags`.
bool given(int argc, char* argv[], std::initializer_list<const char*> flags) {
    for (int i = 1; i < argc; ++i)
        for (const char* flag : flags)
            if (std::strcmp(argv[i], flag) == 0) return true;
    return false;
}

// Whether the window system can be reached at all; Qt itself aborts when it cannot.
bool mayHaveDisplay(int argc, char* argv[]) {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* value = std::getenv(variable); value && *value) return true;
    return given(argc, argv, {"-platform", "--platform"});
}

// The arguments without the window system's own options (-platform offscreen, -style, ...),
// which the window system would take out itself once reached.
QStringList withoutWindowSystemOptions(const QStringList& arguments) {
    static const QStringList withValue{
        "platform",    "platformpluginpath", "platformtheme", "plugin",
        "display",     "geometry",           "title",         "name",
        "style",       "stylesheet",         "session",       "qwindowgeometry",
        "qwindowicon", "qwindowtitle",       "qmljsdebugger"};
    static const QStringList plain{"reverse", "widgetcount", "nograb", "dograb", "sync"};
    QStringList kept{arguments.value(0)};
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString name = arguments[i];
        if (!name.startsWith('-') || name == "--") {
            kept << arguments.mid(i);
            break;
        }
        name.remove(0, name.startsWith("--") ? 2 : 1);
        if (withValue.contains(name))
            ++i;  // and its value
        else if (!plain.contains(name))
            kept << arguments[i];
    }
    return kept;
}

// Names the program and says what it takes.
void describe(QCommandLineParser& options) {
    QCoreApplication::setApplicationName(QStringLiteral("tolvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOLVANE_VERSION));
    options.setApplicationDescription(QStringLiteral(
        "Remote-control panel for a video projector on a serial line.\n"
        "Comm1 to Comm4 are the devices named by TOLVANE_COM1 to TOLVANE_COM4, or else the "
        "serial ports present, in order. A name may also be a serial device server: "
        "tcp://HOST:PORT (raw) or rfc2217://HOST:PORT (Telnet, line set to 9600 8N1)."));
    options.addHelpOption();
    options.addVersionOption();
}

// Checks the options and positional arguments; prints the complaint and returns false.
bool optionsAreValid() {
    QCommandLineParser options;
    describe(options);
    if (!options.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "tolvane: %s See --help.\n", qPrintable(options.errorText()));
        return false;
    }
    if (!options.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "tolvane: unexpected argument '%s'. See --help.\n",
                     qPrintable(options.positionalArguments().first()));
        return false;
    }
    return true;
}

// While the window system is being reached, Qt's messages are held back: if no display server is
// there, Qt would print several lines and abort; the user gets one line and exit status 1. Any
// other failure to start (a platform plugin that does not exist or does not load) is told in Qt's
// own words, also with status 1. Once it is reached, the held messages are passed on as they came.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
bool gReachingDisplay = false;
std::vector<HeldMessage> gHeldMessages;
QtMessageHandler gDefaultHandler = nullptr;

void passOnHeldMessages() {
    gReachingDisplay = false;
    for (const auto& [type, category, text] : gHeldMessages)
        gDefaultHandler(type, QMessageLogContext(nullptr, 0, nullptr, category.constData()), text);
    gHeldMessages.clear();
}

bool heldMessageStarts(const char* start) {
    return std::any_of(gHeldMessages.begin(), gHeldMessages.end(), [start](const HeldMessage& m) {
        return m.text.startsWith(QLatin1String(start));
    });
}

void holdWhileReachingDisplay(QtMsgType type, const QMessageLogContext& context,
                              const QString& text) {
    if (!gReachingDisplay) return gDefaultHandler(type, context, text);
    if (type != QtFatalMsg) return gHeldMessages.push_back({type, context.category, text});
    // What the X11 and Wayland plugins say when their display server is not there; but when the
    // plugin asked for is not installed (by -platform, QT_QPA_PLATFORM or the desktop session,
    // such as Wayland's on a Wayland-only desktop), no display setting would help.
    QByteArray said = kNoDisplayLine;
    if (!(heldMessageStarts("could not connect to display") ||
          heldMessageStarts("Failed to create wl_display")) ||
        heldMessageStarts("Could not find the Qt platform plugin")) {
        passOnHeldMessages();
        QString reason = text;
        while (reason.endsWith(QLatin1Char('\n'))) reason.chop(1);
        said = reason.toLocal8Bit() + '\n';
    }
    std::fputs(said.constData(), stderr);  // unbuffered
    ::_exit(kNoDisplay);
}

bool raisedRunningPanel() {
    using namespace tolvane::bus;
    QDBusConnection bus = connectToSessionBus(QStringLiteral("tolvane-start"));
    const auto disconnect =
        qScopeGuard([] { QDBusConnection::disconnectFromBus("tolvane-start"); });
    if (!bus.isConnected()) return false;
    QString device;
    const QString panel =
        panelHolding(bus, QByteArray::fromStdString(tolvane::addressForPort(1).path), device);
    if (panel.isEmpty()) return false;
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
        panel, QLatin1String(kObjectPath), QLatin1String(kInterface), QStringLiteral("Raise")));
    if (reply.type() != QDBusMessage::ReplyMessage) return false;
    std::fprintf(stderr, "tolvane: a panel for %s runs already; brought it to the front\n",
                 qPrintable(device));
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    // --help and --version answer without a display, whatever window-system options stand
    // before them.
    if (given(argc, argv, {"-h", "--help", "--help-all", "-v", "--version"})) {
        QCoreApplication core(argc, argv);
        QCommandLineParser options;
        describe(options);
        options.process(withoutWindowSystemOptions(QCoreApplication::arguments()));  // exits
    }
    if (!mayHaveDisplay(argc, argv)) {
        // Usage errors still come first, and are told apart by their exit status.
        QCoreApplication core(argc, argv);
        if (!optionsAreValid()) return kUsageError;
        std::fputs(kNoDisplayLine, stderr);
        return kNoDisplay;
    }

    gDefaultHandler = qInstallMessageHandler(holdWhileReachingDisplay);
    gReachingDisplay = true;
    QApplication app(argc, argv);  // takes Qt's own options, such as -platform
    passOnHeldMessages();
    // Lets Wayland shells match the window to the installed desktop entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral(TOLVANE_APP_ID));
    if (!optionsAreValid()) return kUsageError;

    // Asked to stop by a signal, the panel closes as if by its windows' close controls, so
    // queued frames still leave and the port's lock file is removed. Watched from before the
    // port is opened (a signal at the start-up message box ends the program cleanly) until
    // after the window has released the port.
    tolvane::StopRequests stops(tolvane::StopRequests::Input::Ignore);
    bool stopRequested = false;
    QObject::connect(&stops, &tolvane::StopRequests::stopRequested, &app, [&stopRequested] {
        stopRequested = true;
        QApplication::closeAllWindows();
    });

    // One panel per port: a panel of this user that holds the port this start would open is
    // brought to the front instead; a panel for another port starts as usual.
    if (raisedRunningPanel()) return 0;

    // Each open takes the local serial port or a serial device server on the network, as the
    // Comm item's name says. The window loads as it is made: it checks Comm1 and opens the port
    // before it is shown.
    frmTolvane window(std::make_unique<tolvane::SerialLayer>());
    if (stopRequested) return 0;
    // Scripts and tolvane-send press the keys through the panel while it holds the port.
    tolvane::bus::PanelService service(window.ports(), [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    service.publish();
    window.show();
    const int status = QApplication::exec();
    // The window has gone; what it queued before still leaves, for 500 ms at most.
    window.MSComm1().PortOpen(false);
    window.MSComm1().finishDepartures();
    return status;
}
