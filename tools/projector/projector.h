#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <deque>
#include <functional>
#include <string>

#include "projector/frame_decoder.h"
#include "projector/options.h"

namespace tolvane::projector {

// A pause this long ends whatever the panel left unfinished, so it is reported without
// waiting for the next frame. The panel writes each frame at once, so no frame has one.
inline constexpr std::chrono::milliseconds kQuietGap{200};

// The projector's side of the line: reads what the panel sends, prints one line per frame
// or bad stretch, and answers probe frames.
class Projector : public QObject {
    Q_OBJECT

  public:
    using LinePrinter = std::function<void(const std::string&)>;

    // `controller` is the non-blocking controller end of the line; it stays owned by the caller.
    Projector(int controller, const ProjectorOptions& options, LinePrinter print,
              QObject* parent = nullptr);

    // Reports whatever is left unfinished; for the end of a run.
    void flush();

  private:
    void readLine();
    void report(const DecodedPiece& piece);
    void scheduleReply();
    void sendDueReplies();
    // Returns false when the terminal's input buffer is full.
    bool sendReply();

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
    QSocketNotifier notifier_;
    QTimer quiet_;
};

}  // namespace tolvane::projector
