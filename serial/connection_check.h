#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "transport/serial_layer.h"

namespace tolvane {

// The longest a waiting check sleeps before it looks at the received count again: a serial
// layer need not raise an event for every byte it takes in.
inline constexpr std::chrono::milliseconds kWaitBound{20};

// What the connection check needs from the keypad window: the reply timer's enabled flag, the
// window's event processing, its result dialogs and its message box.
class CheckHost {
  public:
    virtual ~CheckHost() = default;
    virtual bool timerEnabled() const = 0;
    virtual void setTimerEnabled(bool enabled) = 0;
    // Runs every pending window event; with mayWait, first sleeps until one arrives if none is
    // pending, but for kWaitBound at most.
    virtual void processEvents(bool mayWait) = 0;
    // True once the keypad window is closing: a waiting check ends without a result.
    virtual bool closing() const = 0;
    virtual void showResponding() = 0;
    virtual void showNotResponding() = 0;
    virtual void showMessage(std::string_view text) = 0;
};

// Checks waiting inside one another at most; each holds a stack frame of event processing, so
// a storm of clicks must not nest without end. Clicks beyond this are ignored.
inline constexpr int kMaxNestedChecks = 16;

// Writes the probe after discarding what waits: only a byte that comes after the probe answers
// it. What waits before is left over: an answer to a key press, or a reply that came after an
// earlier time-out. Throws SerialError.
void sendProbe(SerialLayer& port);

// Writes the probe, waits for any reply byte until the reply timer ticks, and reports once.
// The timer's enabled flag is the whole state of a check; a nested check shares it.
class ConnectionCheck {
  public:
    ConnectionCheck(SerialLayer& port, CheckHost& host) : port_(port), host_(host) {}

    // The button's click: probe, arm the timer, wait, then the responding dialog.
    void click();
    // The timer's tick: the time-out, reported from inside the waiting check.
    void tick();
    // Waits until the timer is disabled, or until at least `count` bytes are waiting (which
    // are then discarded). Throws SerialError when the port cannot be read.
    void wait(const std::int16_t& count);

  private:
    void run();

    SerialLayer& port_;
    CheckHost& host_;
    int depth_ = 0;          // checks waiting, this one included
    bool ignoring_ = false;  // a click beyond the limit was logged
};

}  // namespace tolvane
