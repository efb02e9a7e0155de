#include "process/stop_requests.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace tolvane {
namespace {

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP};
constexpr std::chrono::milliseconds kForegroundCheck{500};

// Write end of the self-pipe; the handler may do nothing but write to it.
volatile sig_atomic_t gSignalPipe = -1;
// What each signal did before we came, to restore at the end. A signal ignored at start (as
// under nohup, or SIGINT of a background job) stays ignored: the user chose that.
std::array<struct sigaction, kStopSignals.size()> gSaved{};
std::array<bool, kStopSignals.size()> gInstalled{};

extern "C" void onStopSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe, &byte, 1);
    errno = saved;
}

// Reading a terminal from the background would stop the process (SIGTTIN), so a terminal is
// read only while we are in its foreground.
bool inBackgroundOfTerminal() {
    return ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) != ::getpgrp();
}

}  // namespace

StopRequests::StopRequests(Input input, QObject* parent) : QObject(parent) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot make the signal pipe");
    gSignalPipe = pipe_[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
        if (::sigaction(kStopSignals[i], nullptr, &gSaved[i]) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot read signal actions");
        if (gSaved[i].sa_handler == SIG_IGN) continue;
        if (::sigaction(kStopSignals[i], &action, nullptr) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot handle signals");
        gInstalled[i] = true;
    }

    connect(new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this), &QSocketNotifier::activated,
            this, &StopRequests::onSignal);
    if (input == Input::Watch && ::fcntl(STDIN_FILENO, F_GETFD) >= 0) {
        inputNotifier_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(inputNotifier_, &QSocketNotifier::activated, this, &StopRequests::onInput);
        // Input that comes while in the background is left unread (see onInput), and we look
        // again now and then whether we are back in front.
        foregroundCheck_ = new QTimer(this);
        foregroundCheck_->setInterval(kForegroundCheck);
        connect(foregroundCheck_, &QTimer::timeout, this, [this] {
            if (inBackgroundOfTerminal()) return;
            foregroundCheck_->stop();
            inputNotifier_->setEnabled(true);
        });
    }
}

StopRequests::~StopRequests() {
    for (std::size_t i = 0; i < kStopSignals.size(); ++i)
        if (std::exchange(gInstalled[i], false)) ::sigaction(kStopSignals[i], &gSaved[i], nullptr);
    gSignalPipe = -1;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void StopRequests::onSignal() {
    char byte = 0;
    if (::read(pipe_[0], &byte, 1) != 1) return;
    const char* name = ::sigabbrev_np(byte);
    emit stopRequested(QStringLiteral("SIG%1").arg(QString::fromLatin1(name ? name : "?")));
}

// Whatever comes in is not used; only its end matters.
void StopRequests::onInput() {
    if (inBackgroundOfTerminal()) {
        inputNotifier_->setEnabled(false);
        foregroundCheck_->start();
        return;
    }
    // The notifier can wake us without data; poll first so the read never blocks.
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return;
    std::array<char, 4096> buffer;
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN))) return;
    // End of input, or input that can no longer be read: either way nothing more will come.
    inputNotifier_->setEnabled(false);
    emit stopRequested(n == 0 ? QStringLiteral("end of standard input")
                              : QStringLiteral("standard input failed: %1")
                                    .arg(QString::fromLocal8Bit(std::strerror(errno))));
}

}  // namespace tolvane
