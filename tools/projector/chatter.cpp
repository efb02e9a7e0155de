#include "projector/chatter.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tolvane::projector {

Chatter::Chatter(int controller, std::uint64_t total, QObject* parent)
    : QObject(parent),
      controller_(controller),
      total_(total),
      notifier_(controller, QSocketNotifier::Write) {
    connect(&notifier_, &QSocketNotifier::activated, this, &Chatter::writeMore);
    notifier_.setEnabled(total_ > 0);
}

void Chatter::writeMore() {
    std::array<std::uint8_t, 4096> chunk;
    const auto size = std::size_t(std::min<std::uint64_t>(chunk.size(), total_ - sent_));
    for (std::size_t i = 0; i < size; ++i) {
        // xorshift32
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        chunk[i] = std::uint8_t(state_ >> 24);
    }
    const ssize_t n = ::write(controller_, chunk.data(), size);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
        std::fprintf(stderr, "tolvane-projector: chatter stopped after %llu bytes: %s\n",
                     static_cast<unsigned long long>(sent_), std::strerror(errno));
        notifier_.setEnabled(false);
        return;
    }
    // Bytes not taken are simply made again on the next call: the stream has no meaning.
    sent_ += std::uint64_t(n);
    if (sent_ < total_) return;
    notifier_.setEnabled(false);
    std::fprintf(stderr, "tolvane-projector: chatter: all %llu bytes sent\n",
                 static_cast<unsigned long long>(sent_));
}

}  // namespace tolvane::projector
