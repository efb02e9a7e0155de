// app/: program start. Chooses the serial layer and hands it to the keypad window.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstring>

#include "platform/qt_serial_layer.h"
#include "platform/stop_requests.h"
#include "ui/frm_tolvane.h"

namespace {

constexpr int kUsageError = 2;

void describe(QCommandLineParser& options) {
    options.setApplicationDescription(QStringLiteral(
        "Remote-control panel for a video projector on a serial line.\n"
        "Comm1 to Comm4 are the devices named by TOLVANE_COM1 to TOLVANE_COM4, or else the "
        "serial ports present, in order."));
    options.addHelpOption();
    options.addVersionOption();
}

void nameTheProgram() {
    QCoreApplication::setApplicationName(QStringLiteral("tolvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOLVANE_VERSION));
}

// --help and --version must answer without a display, so they are served before the window
// system is reached.
bool asksForHelpOrVersion(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i)
        for (const char* flag : {"-h", "--help", "-?", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], flag) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (asksForHelpOrVersion(argc, argv)) {
        QCoreApplication core(argc, argv);
        nameTheProgram();
        QCommandLineParser options;
        describe(options);
        options.process(core);  // prints and exits
    }

    QApplication app(argc, argv);  // takes Qt's own options, such as -platform
    nameTheProgram();
    // Lets Wayland shells match the window to the installed desktop entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral(TOLVANE_APP_ID));

    QCommandLineParser options;
    describe(options);
    if (!options.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "tolvane: %s See --help.\n", qPrintable(options.errorText()));
        return kUsageError;
    }
    if (!options.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "tolvane: unexpected argument '%s'. See --help.\n",
                     qPrintable(options.positionalArguments().first()));
        return kUsageError;
    }

    // The one place that picks the transport: the local serial port. The window loads as it is
    // made: it checks Comm1 and opens the port before it is shown.
    frmTolvane window(std::make_unique<tolvane::QtSerialLayer>());
    // Asked to stop by a signal, the panel closes as if by its windows' close controls, so
    // queued frames still leave and the port's lock file is removed.
    tolvane::StopRequests stops(tolvane::StopRequests::Input::Ignore);
    QObject::connect(&stops, &tolvane::StopRequests::stopRequested, &app,
                     [] { QApplication::closeAllWindows(); });
    window.show();
    return QApplication::exec();
}
