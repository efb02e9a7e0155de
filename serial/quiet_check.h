#pragma once

#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "transport/serial_layer.h"

namespace tolvane {

// How long a check waits for a reply to its probe.
inline constexpr std::chrono::milliseconds kReplyTimeout{1000};
// The longest a waiting check goes without looking at the received count: a serial layer need
// not raise an event for every byte it takes in.
inline constexpr std::chrono::milliseconds kWaitBound{20};

// Writes the probe after discarding what waits: only a byte that comes after the probe answers
// it. What waits before is left over: an answer to a key press, or a reply that came after an
// earlier time-out. Throws SerialError.
void sendProbe(SerialLayer& port);
// Whether at least `count` bytes wait; if so they are the reply, and are discarded. Throws
// SerialError when the port cannot be read.
bool takeReply(SerialLayer& port, std::int16_t count = 1);

// The connection check for a caller outside the window: the same probe and the same second,
// but no dialog and no waiting inside the window's events. The result comes back through a
// callback once a reply byte is seen or the second is over.
class QuietCheck {
  public:
    enum class Result { Responding, NotResponding, Failed, Interrupted };
    // message: the panel's text for Failed, a reason for Interrupted, empty otherwise.
    using Done = std::function<void(Result result, std::string_view message)>;

    explicit QuietCheck(SerialLayer& port);

    bool waiting() const { return static_cast<bool>(done_); }
    // Probes and starts waiting; `done` is called once, perhaps before this returns (a probe
    // that cannot be written). Not to be called while waiting().
    void start(Done done);
    // The panel's own check is about to discard the input this one waits for: a reply already
    // waiting still counts; otherwise the check ends without a result.
    void interrupt(std::string_view reason);

  private:
    void look();
    void finish(Result result, std::string_view message = {});

    SerialLayer& port_;
    QTimer deadline_;
    QTimer poll_;
    Done done_;
};

}  // namespace tolvane
