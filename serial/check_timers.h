#pragma once

#include <QTimer>
#include <chrono>

namespace tolvane {

// How long a check waits for a reply to its probe.
inline constexpr std::chrono::milliseconds kReplyTimeout{1000};

// The two timers of a connection check, for any host with an event loop: the reply timer
// (the window's Timer1) and the bound on each sleep of the wait.
class CheckTimers {
  public:
    explicit CheckTimers(QTimer& reply);

    // Enabling an enabled reply timer keeps its interval running: a nested check does not
    // extend the first one's wait.
    void setReplyEnabled(bool enabled);
    // Runs the pending events; with mayWait, first sleeps until one arrives, but for
    // kWaitBound at most.
    void processEvents(bool mayWait);

  private:
    QTimer& reply_;
    QTimer bound_;  // runs only while the wait sleeps
};

}  // namespace tolvane
