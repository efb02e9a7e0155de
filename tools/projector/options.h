#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <variant>

#include "protocol/frame.h"

namespace tolvane::projector {

inline constexpr std::chrono::milliseconds kMaxReplyDelay{60000};
// A reply has to fit the terminal's input buffer even while the panel has the port closed.
inline constexpr std::size_t kMaxReplyBytes = 256;
// Most bytes --chatter may ask for: far more than any test needs, a bound on a typo.
inline constexpr std::uint64_t kMaxChatterBytes = std::uint64_t{1} << 30;

struct ProjectorOptions {
    QString link;  // empty: no link
    Bytes reply{0x06};
    std::chrono::milliseconds replyDelay{0};
    bool silent = false;
    std::uint64_t chatter = 0;  // arbitrary bytes to stream to the panel
    bool stopOnEof = false;     // the end of standard input is a stop request too
};

// Reads the command line. --help and --version print and end the process with status 0;
// anything wrong comes back as the message to show, never as a partly read set of options.
std::variant<ProjectorOptions, QString> parseOptions(const QStringList& arguments);

}  // namespace tolvane::projector
