#include "send/route.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <csignal>
#include <cstdio>

#include "serial/messages.h"

namespace tolvane::send {
namespace {

// Before each key: a stop asked for so far is seen here, between keys, never inside one; after
// the first key, the --delay pause, which a stop cuts short. False once a stop was asked for.
bool readyForKey(std::size_t sent, std::chrono::milliseconds delay, Stops& stops) {
    QCoreApplication::processEvents();
    if (sent > 0 && delay.count() > 0 && stops.status() == 0) {
        QEventLoop pause;
        QTimer::singleShot(delay, Qt::PreciseTimer, &pause, &QEventLoop::quit);
        QObject::connect(&stops, &StopRequests::stopRequested, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return stops.status() == 0;
}

void printLine(std::FILE* stream, std::string_view text) {
    std::fprintf(stream, "%.*s\n", int(text.size()), text.data());
}

int check(Route& route, Stops& stops) {
    std::optional<CheckResult> result;
    Failure failure;
    QEventLoop wait;
    QObject::connect(&stops, &StopRequests::stopRequested, &wait, &QEventLoop::quit);
    if (stops.status() == 0)
        route.check([&](CheckResult got, const Failure& why) {
            result = got;
            failure = why;
            wait.quit();
        });
    if (!result && stops.status() == 0) wait.exec();
    if (!result) {
        note("check stopped before a result");
        return stops.status() != 0 ? stops.status() : kExitPortFailed;
    }
    if (*result == CheckResult::Failed) {
        print(failure);
        return kExitPortFailed;
    }
    const bool responding = *result == CheckResult::Responding;
    printLine(stdout, responding ? kRespondingText : kNotRespondingText);
    return responding ? kExitSent : kExitNotResponding;
}

}  // namespace

Stops::Stops() : StopRequests(Input::Ignore) {
    connect(this, &StopRequests::stopRequested, this, [this](const QString& why) {
        if (status_ != 0) return;
        const int number = why == QLatin1String("SIGINT")   ? SIGINT
                           : why == QLatin1String("SIGHUP") ? SIGHUP
                                                            : SIGTERM;
        status_ = 128 + number;
    });
}

void note(std::string_view text) {
    std::fprintf(stderr, "tolvane-send: %.*s\n", int(text.size()), text.data());
}

void print(const Failure& failure) {
    if (!failure.message.empty()) printLine(stderr, failure.message);
    if (!failure.reason.empty()) note(failure.reason);
}

int run(Route& route, const SendOptions& options, Stops& stops) {
    if (options.action == Action::Check) return check(route, stops);
    const std::string total = std::to_string(options.keys.size());
    std::size_t sent = 0;
    for (const std::size_t row : options.keys) {
        if (!readyForKey(sent, options.delay, stops)) break;
        if (const auto failure = route.press(row)) {
            print(*failure);
            if (!failure->elsewhere.empty())
                note(std::to_string(sent) + " of " + total + " keys sent to " + failure->device +
                     "; the panel now uses " + failure->elsewhere);
            else if (sent > 0)
                note(std::to_string(sent) + " of " + total + " keys were sent before");
            return kExitPortFailed;
        }
        ++sent;
    }
    if (stops.status() == 0) return kExitSent;
    note("stopped after " + std::to_string(sent) + " of " + total + " keys");
    return stops.status();
}

}  // namespace tolvane::send
