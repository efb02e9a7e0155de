#include "projector/pty_device.h"

#include <fcntl.h>
#include <pty.h>  // openpty
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tolvane::projector {
namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

PtyDevice::PtyDevice() {
    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    if (::openpty(&controller_, &terminal_, nullptr, &raw, nullptr) != 0)
        fail("cannot open a pseudo-terminal");
    try {
        char name[256] = {};
        if (::ttyname_r(terminal_, name, sizeof name) != 0) fail("cannot name the pseudo-terminal");
        path_ = name;
        // Neither end belongs to programs we might start, and ours never blocks.
        const int flags = ::fcntl(controller_, F_GETFL);
        if (::fcntl(controller_, F_SETFD, FD_CLOEXEC) != 0 ||
            ::fcntl(terminal_, F_SETFD, FD_CLOEXEC) != 0 || flags < 0 ||
            ::fcntl(controller_, F_SETFL, flags | O_NONBLOCK) != 0)
            fail("cannot set up the pseudo-terminal");
    } catch (...) {
        ::close(controller_);
        ::close(terminal_);
        throw;
    }
}

PtyDevice::~PtyDevice() {
    ::close(controller_);
    ::close(terminal_);
}

}  // namespace tolvane::projector
