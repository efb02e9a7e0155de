#include <QApplication>
#include <QCommandLineParser>

#include "ui/frm_tolvane.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tolvane"));
    QApplication::setApplicationVersion(QStringLiteral(TOLVANE_VERSION));
    // Lets Wayland shells match the window to the installed desktop entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral(TOLVANE_APP_ID));

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Remote-control panel for a video projector on a serial line.\n"
        "Comm1 to Comm4 are the devices named by TOLVANE_COM1 to TOLVANE_COM4, or else the "
        "serial ports present, in order."));
    options.addHelpOption();
    options.addVersionOption();
    options.process(app);  // unknown options and arguments end here with a message
    if (!options.positionalArguments().isEmpty()) {
        qCritical("tolvane: unexpected argument '%s'; see --help",
                  qPrintable(options.positionalArguments().first()));
        return 2;
    }

    frmTolvane window;  // loads: checks Comm1 and opens the port before it is shown
    window.show();
    return QApplication::exec();
}
