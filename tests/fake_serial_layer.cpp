#include "fake_serial_layer.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace tolvane::testing {

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

Bytes parseHex(std::string_view text) {
    // Test literals only: a malformed one is a broken test, so it stops loudly.
    Bytes out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        unsigned value = 0;
        const char* end = text.data() + std::min(i + 2, text.size());
        const auto [next, ec] = std::from_chars(text.data() + i, end, value, 16);
        if (ec != std::errc() || next != text.data() + i + 2)
            throw std::invalid_argument("bad hex literal: " + std::string(text));
        out.push_back(static_cast<std::uint8_t>(value));
        i += 2;
    }
    return out;
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

void FakeSerialLayer::Output(std::span<const std::uint8_t> bytes) {
    transcript.push_back("Output " + hexBytes(bytes));
    const bool refused = (writesBeforeFailure >= 0 && int(written.size()) >= writesBeforeFailure) ||
                         queued + bytes.size() > kOutBufferSize;
    if (!open_ || refused) throw SerialError(SerialError::Kind::Write, "write refused");
    written.emplace_back(bytes.begin(), bytes.end());
}

std::int16_t FakeSerialLayer::InBufferCount() {
    transcript.push_back("InBufferCount?");
    if (!open_ || failReads) throw SerialError(SerialError::Kind::Read, "read refused");
    return static_cast<std::int16_t>(std::min(received, 32767));
}

void FakeSerialLayer::InBufferCount(std::int16_t count) {
    transcript.push_back("InBufferCount=" + std::to_string(count));
    if (!open_ || failReads) throw SerialError(SerialError::Kind::Read, "read refused");
    received = 0;
}

}  // namespace tolvane::testing
