#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "projector/frame_decoder.h"

namespace tolvane::projector {

struct ProjectorOptions {
    QString link;  // empty: no link
    Bytes reply{0x06};
    std::chrono::milliseconds replyDelay{0};
    bool silent = false;
    std::uint64_t chatter = 0;  // arbitrary bytes to stream to the panel
    bool stopOnEof = false;     // the end of standard input is a stop request too
};

// The projector's side of the line: reads what the panel sends, prints one line per frame
// or bad stretch, and answers probe frames. Like a device that talks all the time, it also
// streams the chatter asked for, only while the line takes more: a panel that stops reading
// holds it back rather than making it spin or buffer.
class Projector : public QObject {
  public:
    using LinePrinter = std::function<void(const std::string&)>;

    // `controller` is the non-blocking controller end of the line; it stays owned by the caller.
    Projector(int controller, const ProjectorOptions& options, LinePrinter print);

    // Reports whatever is left unfinished; for the end of a run.
    void flush();
    std::uint64_t chatterSent() const { return chatterSent_; }

  private:
    void readLine();
    void report(const DecodedPiece& piece);
    void sendDueReplies();
    // Returns false when the terminal's input buffer is full.
    bool sendReply();
    void writeChatter();

    // Probes awaiting their delayed reply: when the reply is due (ms on clock_) and how many
    // probes came in that millisecond. One timer serves them all, and the list holds at most
    // one entry per millisecond of the delay, however many probes arrive.
    struct PendingReplies {
        qint64 dueMs;
        std::uint64_t count;
    };
    std::deque<PendingReplies> pending_;
    QElapsedTimer clock_;
    QTimer replyTimer_;

    int controller_;
    ProjectorOptions options_;
    LinePrinter print_;
    FrameDecoder decoder_;
    QSocketNotifier readable_;
    QTimer quiet_;

    std::uint64_t chatterSent_ = 0;
    std::uint32_t chatterState_ = 0x2545F491u;  // pseudo-random, the same stream on every run
    QSocketNotifier writable_;
};

}  // namespace tolvane::projector
