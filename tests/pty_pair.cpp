#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>  // openpty
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <stdexcept>

namespace tolvane::testing {

Pty::Pty() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&controller_, &terminal_, name, &raw, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    ::fcntl(controller_, F_SETFL, ::fcntl(controller_, F_GETFL) | O_NONBLOCK);
    path_ = QString::fromLocal8Bit(name);
}

Pty::~Pty() {
    hangUp();
}

void Pty::hangUp() {
    if (controller_ >= 0) ::close(controller_);
    if (terminal_ >= 0) ::close(terminal_);
    controller_ = terminal_ = -1;
}

QByteArray Pty::readFromPanel(qsizetype count, std::chrono::milliseconds timeout) {
    QByteArray got;
    const QDeadlineTimer deadline(timeout);
    while (got.size() < count && !deadline.hasExpired()) {
        pollfd p{controller_, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0) continue;
        char buf[512];
        const ssize_t n =
            ::read(controller_, buf, std::min(sizeof buf, std::size_t(count - got.size())));
        if (n > 0) got.append(buf, n);
    }
    return got;
}

void Pty::writeToPanel(const QByteArray& bytes) {
    if (::write(controller_, bytes.constData(), size_t(bytes.size())) != bytes.size())
        throw std::runtime_error("write to pty failed");
}

std::chrono::microseconds processCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

}  // namespace tolvane::testing
