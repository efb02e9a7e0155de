#include "projector/options.h"

#include <QCommandLineParser>
#include <algorithm>

#include "projector/hex_text.h"

namespace tolvane::projector {
namespace {

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

}  // namespace

std::variant<ProjectorOptions, QString> parseOptions(const QStringList& arguments) {
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

    if (!parser.parse(arguments)) return parser.errorText();
    if (parser.isSet(help)) parser.showHelp(0);
    if (parser.isSet(version)) parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());

    ProjectorOptions options;
    if (parser.isSet(link)) {
        options.link = parser.value(link);
        if (options.link.isEmpty()) return QStringLiteral("--link needs a path");
    }
    options.silent = parser.isSet(silent);
    options.stopOnEof = parser.isSet(stopOnEof);
    if (parser.isSet(reply)) {
        if (options.silent) return QStringLiteral("--reply and --silent exclude each other");
        const QString text = parser.value(reply);
        const auto bytes = parseHexText(text.toStdString());
        if (!bytes || bytes->empty())
            return QStringLiteral("--reply '%1' is not hex pairs such as 06 or \"06 15\"")
                .arg(text);
        if (bytes->size() > kMaxReplyBytes)
            return QStringLiteral("--reply is %1 bytes long; at most %2 are allowed")
                .arg(bytes->size())
                .arg(kMaxReplyBytes);
        options.reply = *bytes;
    }
    if (parser.isSet(replyDelay)) {
        const QString text = parser.value(replyDelay);
        bool ok = false;
        const qlonglong ms = text.toLongLong(&ok);
        if (!ok || ms < 0 || ms > kMaxReplyDelay.count())
            return QStringLiteral(
                       "--reply-delay '%1' is not a whole number of milliseconds "
                       "from 0 to %2")
                .arg(text)
                .arg(kMaxReplyDelay.count());
        options.replyDelay = std::chrono::milliseconds(ms);
    }
    if (parser.isSet(chatter)) {
        const QString text = parser.value(chatter);
        const bool digitsOnly = !text.isEmpty() && std::all_of(text.begin(), text.end(),
                                                               [](QChar c) { return c.isDigit(); });
        bool ok = false;
        const qulonglong bytes = digitsOnly ? text.toULongLong(&ok) : 0;
        if (!ok || bytes > kMaxChatterBytes)
            return QStringLiteral("--chatter '%1' is not a whole number of bytes from 0 to %2")
                .arg(text)
                .arg(kMaxChatterBytes);
        options.chatter = bytes;
    }
    return options;
}

}  // namespace tolvane::projector
