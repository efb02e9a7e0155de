// tolvane-projector: a simulated projector on a pseudo-terminal, for trying and testing the
// panel without the hardware. See --help for what it prints and how it answers.

#include <fcntl.h>
#include <pty.h>  // openpty
#include <termios.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include "process/stop_requests.h"
#include "projector/device_link.h"
#include "projector/projector.h"
#include "protocol/hex_text.h"

using namespace tolvane::projector;
using tolvane::StopRequests;

namespace {

constexpr std::chrono::milliseconds kMaxReplyDelay{60000};
// A reply has to fit the terminal's input buffer even while the panel has the port closed.
constexpr std::size_t kMaxReplyBytes = 256;
// Most bytes --chatter may ask for: far more than any test needs, a bound on a typo.
constexpr std::uint64_t kMaxChatterBytes = std::uint64_t{1} << 30;

const char* const kDescription = R"txt(
Plays a projector on a pseudo-terminal, for trying the Tolvane panel without one.

The first line on standard output is the device path of the terminal end: point the
panel at it (TOLVANE_COM1=<path>). Then every piece of what arrives on the line is
printed as one line, at once:

  lead-in <hex>           the lead-in frame that precedes every key but Power On
  lead-in power-on <hex>  the lead-in frame that precedes the Power On key
  key <control> <hex>     a key frame, by its control name (e.g. key mVolume)
  probe <hex>             the probe frame of the connection check
  frame <hex>             a well-formed frame that the panel never sends
  bad <reason> <hex>      bytes that are not a well-formed frame; <reason> is one of
                            length       the length byte does not match the payload
                            checksum     the checksum byte does not add up
                            escape       1B not followed by 8E, 93 or 9B, or a
                                         13 sent unescaped
                            missing-end  no end byte where the length byte says
                            truncated    cut short by a new frame or by a pause
                            stray        bytes outside any frame

<hex> is the bytes as received, in upper-case pairs separated by blanks. A bad
stretch longer than 64 bytes shows its first 64 bytes, then "... (<n> bytes)".
Bytes left unfinished by a pause of 200 ms are reported as they stand.

Each probe frame is answered with the reply bytes. Notes (replies sent, chatter
sent, stop) go to standard error.

It runs until SIGINT, SIGTERM or SIGHUP, and then stops cleanly, removing its link;
a signal that was ignored when it started (as under nohup) stays ignored. It does
not read standard input unless --stop-on-eof is given, so it runs in the
background, under nohup, from cron or from a service manager as it does in a
terminal.

Exit status: 0 after a clean stop, 1 when the device or the link cannot be made,
2 for a bad command line.)txt";

void note(const std::string& text) {
    std::fprintf(stderr, "tolvane-projector: %s\n", text.c_str());
}

[[noreturn]] void usageError(const QString& message) {
    note(message.toStdString() + "\nTry 'tolvane-projector --help'.");
    std::exit(2);
}

// Reads the command line. --help and --version print and end the process with status 0, and
// anything wrong with status 2, so it never goes on with a partly read set of options.
ProjectorOptions parseOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription).trimmed());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption link(
        "link",
        "Also make a symbolic link at <path> to the device, and beside it a small owner file "
        "(.<name>.tolvane-projector) naming this process. Only a stale link is replaced there: "
        "one whose target is gone, or one whose owner file names a simulator that has ended "
        "(its terminal may since have gone to another program). A file, a directory or any "
        "other live link is refused. Both are removed at exit if the link still points at "
        "the device.",
        "path");
    const QCommandLineOption reply(
        "reply",
        "Answer each probe with these bytes: hex pairs, blanks between them allowed, at most "
        "256 bytes (default 06).",
        "hex");
    const QCommandLineOption replyDelay(
        "reply-delay",
        "Wait <ms> milliseconds, 0 to 60000, before answering a probe (default 0). The panel "
        "waits one second for an answer.",
        "ms");
    const QCommandLineOption silent(
        "silent", "Never answer: the panel then finds the projector not responding.");
    const QCommandLineOption chatter(
        "chatter",
        "Stream <bytes> arbitrary bytes to the panel from the start, at most 1073741824, as "
        "fast as the line takes them (a panel that does not read holds them back). How many "
        "went out is noted on standard error when all have, or at the stop.",
        "bytes");
    const QCommandLineOption stopOnEof(
        "stop-on-eof",
        "Also stop at the end of standard input (Ctrl-D on a terminal). A terminal is read only "
        "while the simulator is in its foreground, so a job put in the background is not "
        "stopped by reading it.");
    parser.addOptions({link, reply, replyDelay, silent, chatter, stopOnEof});

    if (!parser.parse(arguments)) usageError(parser.errorText());
    if (parser.isSet(help)) parser.showHelp(0);
    if (parser.isSet(version)) parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    ProjectorOptions options;
    if (parser.isSet(link)) {
        options.link = parser.value(link);
        if (options.link.isEmpty()) usageError(QStringLiteral("--link needs a path"));
    }
    options.silent = parser.isSet(silent);
    options.stopOnEof = parser.isSet(stopOnEof);
    if (parser.isSet(reply)) {
        if (options.silent) usageError(QStringLiteral("--reply and --silent exclude each other"));
        const QString text = parser.value(reply);
        const auto bytes = tolvane::parseHexText(text.toStdString());
        if (!bytes || bytes->empty())
            usageError(
                QStringLiteral("--reply '%1' is not hex pairs such as 06 or \"06 15\"").arg(text));
        if (bytes->size() > kMaxReplyBytes)
            usageError(QStringLiteral("--reply is %1 bytes long; at most %2 are allowed")
                           .arg(bytes->size())
                           .arg(kMaxReplyBytes));
        options.reply = *bytes;
    }
    if (parser.isSet(replyDelay)) {
        const QString text = parser.value(replyDelay);
        bool ok = false;
        const qlonglong ms = text.toLongLong(&ok);
        if (!ok || ms < 0 || ms > kMaxReplyDelay.count())
            usageError(QStringLiteral("--reply-delay '%1' is not a whole number of milliseconds "
                                      "from 0 to %2")
                           .arg(text)
                           .arg(kMaxReplyDelay.count()));
        options.replyDelay = std::chrono::milliseconds(ms);
    }
    if (parser.isSet(chatter)) {
        const QString text = parser.value(chatter);
        const bool digitsOnly = !text.isEmpty() && std::all_of(text.begin(), text.end(),
                                                               [](QChar c) { return c.isDigit(); });
        bool ok = false;
        const qulonglong bytes = digitsOnly ? text.toULongLong(&ok) : 0;
        if (!ok || bytes > kMaxChatterBytes)
            usageError(QStringLiteral("--chatter '%1' is not a whole number of bytes from 0 to %2")
                           .arg(text)
                           .arg(kMaxChatterBytes));
        options.chatter = bytes;
    }
    return options;
}

// The simulated device: a pseudo-terminal in raw mode. The panel opens the terminal end by its
// path, the simulator reads and writes the controller end (non-blocking). Both stay open until
// the process ends: holding the terminal end ourselves means the panel closing the port never
// hangs up the controller end (no EIO, no busy wake-ups), and the panel can open it again.
struct Device {
    int controller = -1;
    std::string path;
};

// Throws std::system_error when no pseudo-terminal can be had.
Device openDevice() {
    const auto fail = [](int error, const char* what) {
        throw std::system_error(error, std::generic_category(), what);
    };
    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    int controller = -1;
    int terminal = -1;
    if (::openpty(&controller, &terminal, nullptr, &raw, nullptr) != 0)
        fail(errno, "cannot open a pseudo-terminal");
    char name[256] = {};
    if (const int error = ::ttyname_r(terminal, name, sizeof name); error != 0)
        fail(error, "cannot name the pseudo-terminal");
    // Neither end belongs to programs we might start, and ours never blocks.
    const int flags = ::fcntl(controller, F_GETFL);
    if (::fcntl(controller, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(terminal, F_SETFD, FD_CLOEXEC) != 0 || flags < 0 ||
        ::fcntl(controller, F_SETFL, flags | O_NONBLOCK) != 0)
        fail(errno, "cannot set up the pseudo-terminal");
    return {controller, name};
}

bool printLine(const std::string& line) {
    return std::fputs(line.c_str(), stdout) >= 0 && std::fputc('\n', stdout) != EOF &&
           std::fflush(stdout) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tolvane-projector");
    QCoreApplication::setApplicationVersion(TOLVANE_VERSION);

    const ProjectorOptions options = parseOptions(QCoreApplication::arguments());
    // A reader that goes away must not kill us before the link is removed.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        // Handlers first, so a stop asked for during start-up still cleans up.
        StopRequests stops(options.stopOnEof ? StopRequests::Input::Watch
                                             : StopRequests::Input::Ignore);
        const Device device = openDevice();
        std::optional<DeviceLink> link;
        if (!options.link.isEmpty())
            link.emplace(QFile::encodeName(options.link).toStdString(), device.path);
        if (!printLine(device.path)) {
            note("cannot write to standard output");
            return 1;
        }

        bool outputLost = false;
        Projector projector(device.controller, options, [&outputLost](const std::string& line) {
            if (printLine(line) || outputLost) return;
            outputLost = true;
            note("cannot write to standard output; stopping");
            QCoreApplication::exit(1);
        });
        QObject::connect(&stops, &StopRequests::stopRequested, &app, [&](const QString& why) {
            projector.flush();
            if (projector.chatterSent() < options.chatter)
                note("chatter: " + std::to_string(projector.chatterSent()) + " of " +
                     std::to_string(options.chatter) + " bytes sent");
            note("stopping (" + why.toStdString() + ")");
            QCoreApplication::exit(outputLost ? 1 : 0);
        });
        return QCoreApplication::exec();
    } catch (const std::exception& e) {
        note(e.what());
        return 1;
    }
}
