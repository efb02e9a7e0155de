#include "projector/projector.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/hex_text.h"
#include "protocol/key_table.h"

namespace tolvane::projector {
namespace {

// Reads per wake-up: a flood from the panel cannot keep signals and standard input waiting.
constexpr int kReadsPerWakeUp = 16;
// A pause this long ends whatever the panel left unfinished, so it is reported without
// waiting for the next frame. The panel writes each frame at once, so no frame has one.
constexpr std::chrono::milliseconds kQuietGap{200};

// Which of the panel's frames this payload is, or "frame" for one it never sends.
std::string frameName(const Bytes& payload) {
    if (std::ranges::equal(payload, kProbePayload)) return "probe";
    if (std::ranges::equal(payload, keyPayload(kNormalPayload1, kLeadInCode))) return "lead-in";
    if (std::ranges::equal(payload, keyPayload(kPowerOnPayload1, kLeadInCode)))
        return "lead-in power-on";
    for (const KeyCommand& key : kKeys)
        if (std::ranges::equal(payload, keyPayload(key.payload1, key.code)))
            return "key " + std::string(key.control);
    return "frame";
}

// The line printed for one piece of the received stream, without its newline: the frame's
// name or "bad <reason>", then the bytes as received in hex pairs.
std::string lineFor(const DecodedPiece& piece) {
    std::string line = piece.kind == DecodedPiece::Kind::Frame
                           ? frameName(piece.payload)
                           : "bad " + std::string(kindName(piece.kind));
    line += ' ';
    line += toHex(piece.wire);
    if (piece.size > piece.wire.size()) line += " ... (" + std::to_string(piece.size) + " bytes)";
    return line;
}

}  // namespace

Projector::Projector(int controller, const ProjectorOptions& options, LinePrinter print)
    : controller_(controller),
      options_(options),
      print_(std::move(print)),
      readable_(controller, QSocketNotifier::Read),
      writable_(controller, QSocketNotifier::Write) {
    connect(&readable_, &QSocketNotifier::activated, this, &Projector::readLine);
    connect(&writable_, &QSocketNotifier::activated, this, &Projector::writeChatter);
    writable_.setEnabled(options_.chatter > 0);
    quiet_.setSingleShot(true);
    quiet_.setInterval(kQuietGap);
    connect(&quiet_, &QTimer::timeout, this, &Projector::flush);
    replyTimer_.setSingleShot(true);
    replyTimer_.setTimerType(Qt::PreciseTimer);
    connect(&replyTimer_, &QTimer::timeout, this, &Projector::sendDueReplies);
    clock_.start();
}

void Projector::flush() {
    decoder_.finish([this](const DecodedPiece& piece) { report(piece); });
}

void Projector::readLine() {
    const auto sink = [this](const DecodedPiece& piece) { report(piece); };
    std::array<std::uint8_t, 4096> buffer;
    for (int i = 0; i < kReadsPerWakeUp; ++i) {
        const ssize_t n = ::read(controller_, buffer.data(), buffer.size());
        if (n > 0) {
            decoder_.feed(std::span(buffer.data(), std::size_t(n)), sink);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        // We hold the terminal end open ourselves, so this is not the panel going away.
        std::fprintf(stderr, "tolvane-projector: cannot read the line any more: %s\n",
                     n == 0 ? "end of file" : std::strerror(errno));
        readable_.setEnabled(false);
        break;
    }
    if (decoder_.idle())
        quiet_.stop();
    else
        quiet_.start();
}

void Projector::report(const DecodedPiece& piece) {
    print_(lineFor(piece));
    if (piece.kind != DecodedPiece::Kind::Frame ||
        !std::ranges::equal(piece.payload, kProbePayload) || options_.silent)
        return;
    if (options_.replyDelay.count() == 0) {
        sendReply();
        return;
    }
    // A delayed reply waits with the others due in the same millisecond.
    const qint64 due = clock_.elapsed() + options_.replyDelay.count();
    if (!pending_.empty() && pending_.back().dueMs == due)
        ++pending_.back().count;
    else
        pending_.push_back({due, 1});
    if (!replyTimer_.isActive()) replyTimer_.start(options_.replyDelay);
}

void Projector::sendDueReplies() {
    const qint64 now = clock_.elapsed();
    bool room = true;
    while (!pending_.empty() && pending_.front().dueMs <= now) {
        // Once the panel stops reading, the rest of this batch could not go out either.
        for (std::uint64_t i = 0; room && i < pending_.front().count; ++i) room = sendReply();
        pending_.pop_front();
    }
    if (!pending_.empty())
        replyTimer_.start(
            std::chrono::milliseconds(std::max<qint64>(0, pending_.front().dueMs - now)));
}

bool Projector::sendReply() {
    const Bytes& reply = options_.reply;
    std::size_t sent = 0;
    while (sent < reply.size()) {
        const ssize_t n = ::write(controller_, reply.data() + sent, reply.size() - sent);
        if (n > 0)
            sent += std::size_t(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    if (sent == reply.size()) {
        std::fprintf(stderr, "tolvane-projector: replied %s\n", toHex(reply).c_str());
        return true;
    }
    // The terminal's input buffer is full: the panel has not been reading.
    std::fprintf(stderr, "tolvane-projector: reply %s cut short after %zu bytes: %s\n",
                 toHex(reply).c_str(), sent, std::strerror(errno));
    return false;
}

void Projector::writeChatter() {
    std::array<std::uint8_t, 4096> chunk;
    const auto size =
        std::size_t(std::min<std::uint64_t>(chunk.size(), options_.chatter - chatterSent_));
    for (std::size_t i = 0; i < size; ++i) {
        // xorshift32
        chatterState_ ^= chatterState_ << 13;
        chatterState_ ^= chatterState_ >> 17;
        chatterState_ ^= chatterState_ << 5;
        chunk[i] = std::uint8_t(chatterState_ >> 24);
    }
    const ssize_t n = ::write(controller_, chunk.data(), size);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
        std::fprintf(stderr, "tolvane-projector: chatter stopped after %llu bytes: %s\n",
                     static_cast<unsigned long long>(chatterSent_), std::strerror(errno));
        writable_.setEnabled(false);
        return;
    }
    // Bytes not taken are simply made again on the next call: the stream has no meaning.
    chatterSent_ += std::uint64_t(n);
    if (chatterSent_ < options_.chatter) return;
    writable_.setEnabled(false);
    std::fprintf(stderr, "tolvane-projector: chatter: all %llu bytes sent\n",
                 static_cast<unsigned long long>(chatterSent_));
}

}  // namespace tolvane::projector
