#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "process/stop_requests.h"
#include "send/send_options.h"

namespace tolvane::send {

// What went wrong, as it is printed on standard error: the panel's own message, bare as the
// panel words it, then a reason after "tolvane-send: "; either may be empty.
struct Failure {
    std::string message;
    std::string reason;
    // Through a panel that moved to another device meanwhile: ours, and the one it uses now.
    std::string device = {}, elsewhere = {};
};

enum class CheckResult { Responding, NotResponding, Failed };

// The way to the projector: the port opened here, or a running panel that holds it.
class Route {
  public:
    using CheckDone = std::function<void(CheckResult result, const Failure& failure)>;
    virtual ~Route() = default;
    // Sends one key (a row of kKeys); returns once its bytes are out, with a failure or none.
    virtual std::optional<Failure> press(std::size_t row) = 0;
    // Starts the connection check; `done` is called once, from the event loop or before this
    // returns (never once the route is gone), with the failure when the result is Failed.
    virtual void check(CheckDone done) = 0;
};

// SIGINT, SIGTERM and SIGHUP as the exit status of a program they end: 0 until one comes (it is
// seen while the event loop runs), then 128 plus its number.
class Stops : public StopRequests {
  public:
    Stops();
    int status() const { return status_; }

  private:
    int status_ = 0;
};

// "tolvane-send: " and the text, on standard error.
void note(std::string_view text);
void print(const Failure& failure);

// Sends the keys, or runs the check, through the route: the one loop and printer of both routes.
// Returns the exit status.
int run(Route& route, const SendOptions& options, Stops& stops);

}  // namespace tolvane::send
