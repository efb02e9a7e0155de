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

// The serial layer on a line of the test's own: COMn is "fake device n", and the transport under
// it records each thing asked of it as a line of a transcript ("open fake device 3",
// "close", "write 01 08 ...", "count", "discard", "reopen"). It can be scripted to refuse opens
// and writes, to fail reads, or to hold received bytes.
class FakeSerialLayer : public SerialLayer {
  public:
    FakeSerialLayer();
    ~FakeSerialLayer() override { release(); }

    // Scripting.
    std::vector<int> refusedPorts;                // opens of these port numbers fail
    std::string refusal = "refused by the test";  // the system's reason they are given
    int writesBeforeFailure = -1;  // after this many successful writes the line fails
    bool failReads = false;        // the line is gone when next looked at
    int received = 0;              // bytes waiting in the receive buffer
    // Bytes that join `received` at `quietArrival`, with no event to tell anyone: only a
    // reader that looks again sees them. `quietSeen` is when a count first included them.
    int quietBytes = 0;
    std::chrono::steady_clock::time_point quietArrival{};
    std::optional<std::chrono::steady_clock::time_point> quietSeen;
    // The device vanished: closed without a call, and the owner told.
    void hangUp();
    TransportKind transport = TransportKind::Device;

    std::vector<std::string> transcript;
    std::vector<Bytes> written;  // frames that went out, one per successful write
    LineSettings settings;       // of the last open

  private:
    friend class FakeTransport;
    bool open_ = false;
    class FakeTransport* line_ = nullptr;
};

}  // namespace tolvane::testing
