#pragma once

#include <QTimer>
#include <chrono>
#include <string>

#include "serial/check_timers.h"
#include "serial/connection_check.h"
#include "transport/serial_layer.h"

namespace tolvane::send {

// The connection check with no window: the same ConnectionCheck, its results kept for the
// caller to print instead of shown in dialogs.
class ConsoleCheck final : public CheckHost {
  public:
    enum class Result { Responding, NotResponding, Failed, Stopped };

    explicit ConsoleCheck(SerialLayer& port);

    // Probes, waits for the reply or the time-out, and says which came.
    Result run();
    // From a stop request: a waiting check ends without a result.
    void stop() { stopping_ = true; }
    // The message of a failed check.
    const std::string& message() const { return message_; }

    bool timerEnabled() const override { return Timer1.isActive(); }
    void setTimerEnabled(bool enabled) override;
    void processEvents(bool mayWait) override;
    bool closing() const override { return stopping_; }
    void showResponding() override { result_ = Result::Responding; }
    void showNotResponding() override { result_ = Result::NotResponding; }
    void showMessage(std::string_view text) override;

  private:
    ConnectionCheck check_;
    QTimer Timer1;
    CheckTimers timers_{Timer1};
    bool stopping_ = false;
    Result result_ = Result::Stopped;
    std::string message_;
};

}  // namespace tolvane::send
