#include "fake_serial_layer.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace tolvane::testing {

Bytes parseHex(std::string_view text) {
    std::optional<Bytes> bytes = parseHexText(text);
    if (!bytes) throw std::invalid_argument("bad hex literal: " + std::string(text));
    return *std::move(bytes);
}

void FakeSerialLayer::CommPort(std::int16_t port) {
    transcript.push_back("CommPort=" + std::to_string(port));
    port_ = port;
}

void FakeSerialLayer::Settings(std::string_view text) {
    transcript.push_back("Settings=" + std::string(text));
    settings = text;
}

void FakeSerialLayer::PortOpen(bool open) {
    transcript.push_back(open ? "PortOpen=true" : "PortOpen=false");
    if (open && std::find(refusedPorts.begin(), refusedPorts.end(), port_) != refusedPorts.end())
        throw SerialError(SerialError::Kind::Open, "refused by the test");
    open_ = open;
}

void FakeSerialLayer::reopenLost() {
    transcript.push_back("reopenLost");
    if (std::find(refusedPorts.begin(), refusedPorts.end(), port_) != refusedPorts.end())
        throw SerialError(SerialError::Kind::Open, "not back yet");
    open_ = true;
}

void FakeSerialLayer::Output(std::span<const std::uint8_t> bytes) {
    transcript.push_back("Output " + toHex(bytes));
    const bool refused = (writesBeforeFailure >= 0 && int(written.size()) >= writesBeforeFailure) ||
                         queued + bytes.size() > kOutBufferSize;
    if (!open_ || refused) throw SerialError(SerialError::Kind::Write, "write refused");
    written.emplace_back(bytes.begin(), bytes.end());
}

std::int16_t FakeSerialLayer::InBufferCount() {
    transcript.push_back("InBufferCount?");
    if (!open_ || failReads) throw SerialError(SerialError::Kind::Read, "read refused");
    if (quietBytes > 0 && std::chrono::steady_clock::now() >= quietArrival) {
        received += std::exchange(quietBytes, 0);
        quietSeen = std::chrono::steady_clock::now();
    }
    return static_cast<std::int16_t>(std::min(received, 32767));
}

void FakeSerialLayer::InBufferCount(std::int16_t count) {
    transcript.push_back("InBufferCount=" + std::to_string(count));
    if (!open_ || failReads) throw SerialError(SerialError::Kind::Read, "read refused");
    received = 0;
}

}  // namespace tolvane::testing
