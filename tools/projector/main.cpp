// tolvane-projector: a simulated projector on a pseudo-terminal, for trying and testing the
// panel without the hardware. See --help for what it prints and how it answers.

#include <QCoreApplication>
#include <QFile>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "process/stop_requests.h"
#include "projector/chatter.h"
#include "projector/device_link.h"
#include "projector/options.h"
#include "projector/projector.h"
#include "projector/pty_device.h"

using namespace tolvane::projector;
using tolvane::StopRequests;

namespace {

bool printLine(const std::string& line) {
    return std::fputs(line.c_str(), stdout) >= 0 && std::fputc('\n', stdout) != EOF &&
           std::fflush(stdout) == 0;
}

void note(const std::string& text) {
    std::fprintf(stderr, "tolvane-projector: %s\n", text.c_str());
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tolvane-projector");
    QCoreApplication::setApplicationVersion(TOLVANE_VERSION);

    const auto parsed = parseOptions(QCoreApplication::arguments());
    if (const QString* error = std::get_if<QString>(&parsed)) {
        note(error->toStdString() + "\nTry 'tolvane-projector --help'.");
        return 2;
    }
    const ProjectorOptions& options = std::get<ProjectorOptions>(parsed);
    // A reader that goes away must not kill us before the link is removed.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        // Handlers first, so a stop asked for during start-up still cleans up.
        StopRequests stops(options.stopOnEof ? StopRequests::Input::Watch
                                             : StopRequests::Input::Ignore);
        PtyDevice device;
        std::optional<DeviceLink> link;
        if (!options.link.isEmpty())
            link.emplace(QFile::encodeName(options.link).toStdString(), device.path());
        if (!printLine(device.path())) {
            note("cannot write to standard output");
            return 1;
        }

        bool outputLost = false;
        Projector projector(device.controller(), options, [&outputLost](const std::string& line) {
            if (printLine(line) || outputLost) return;
            outputLost = true;
            note("cannot write to standard output; stopping");
            QCoreApplication::exit(1);
        });
        Chatter chatter(device.controller(), options.chatter);
        QObject::connect(&stops, &StopRequests::stopRequested, &app, [&](const QString& why) {
            projector.flush();
            if (chatter.sent() < chatter.total())
                note("chatter: " + std::to_string(chatter.sent()) + " of " +
                     std::to_string(chatter.total()) + " bytes sent");
            note("stopping (" + why.toStdString() + ")");
            QCoreApplication::exit(outputLost ? 1 : 0);
        });
        return QCoreApplication::exec();
    } catch (const std::exception& e) {
        note(e.what());
        return 1;
    }
}
