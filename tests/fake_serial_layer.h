#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "protocol/hex_text.h"
#include "transport/serial_layer.h"

namespace tolvane::testing {

// A test's own hex literal, "01 08 B0"; a malformed one is a broken test and throws.
Bytes parseHex(std::string_view text);

// A serial layer that records every call as a line of a transcript
// ("CommPort=3", "PortOpen=true", "Output 01 08 ...", "InBufferCount=0") and can be scripted
// to refuse opens and writes or to hold received bytes.
class FakeSerialLayer : public SerialLayer {
  public:
    void CommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return port_; }
    void Settings(std::string_view settings) override;
    bool PortOpen() const override { return open_; }
    void PortOpen(bool open) override;
    void Output(std::span<const std::uint8_t> bytes) override;
    std::size_t OutBufferCount() const override { return open_ ? queued : 0; }
    std::int16_t InBufferCount() override;
    void InBufferCount(std::int16_t count) override;
    // Nothing waits for a line here: bytes are taken at once.
    void drain(std::chrono::milliseconds) override {
        if (!open_) throw SerialError(SerialError::Kind::Write, "the port is not open");
    }
    std::string describePort(std::int16_t port) const override {
        return "fake device " + std::to_string(port);
    }

    // Scripting.
    std::vector<int> refusedPorts;  // opens of these port numbers fail
    int writesBeforeFailure = -1;   // after this many successful writes every write fails
    bool failReads = false;         // count and discard fail
    int received = 0;               // bytes waiting in the receive buffer
    std::size_t queued = 0;         // bytes the line has not taken yet
    // Bytes that join `received` at `quietArrival`, with no event to tell anyone: only a
    // reader that looks again sees them. `quietSeen` is when a count first included them.
    int quietBytes = 0;
    std::chrono::steady_clock::time_point quietArrival{};
    std::optional<std::chrono::steady_clock::time_point> quietSeen;
    void reopenLost() override;
    // The device vanished: closed without a call, and the owner told.
    void hangUp() {
        open_ = false;
        reportLost(transport);
    }
    Transport transport = Transport::Device;

    std::vector<std::string> transcript;
    std::vector<Bytes> written;  // frames that went out, one per successful write
    std::string settings = "9600,N,8,1";

  private:
    std::int16_t port_ = 1;
    bool open_ = false;
};

}  // namespace tolvane::testing
