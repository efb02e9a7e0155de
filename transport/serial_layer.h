// transport/: the port to the projector: its rules, and the transports that reach it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ports/port_mapping.h"
#include "protocol/frame.h"
#include "transport/line_settings.h"
#include "transport/transport.h"

namespace tolvane {

// How long closing the port may wait for queued bytes to leave.
inline constexpr std::chrono::milliseconds kCloseDrainTimeout{500};

// A failure of the serial layer; what went wrong decides the message the user sees.
class SerialError : public std::runtime_error {
  public:
    enum class Kind { Open, Write, Read, Settings };
    SerialError(Kind kind, const std::string& what, std::string hint = {})
        : std::runtime_error(what), kind_(kind), hint_(std::move(hint)) {}
    Kind kind() const { return kind_; }
    // For a failed open: the likely cause and its fix, when one is known; else empty.
    const std::string& hint() const { return hint_; }

  private:
    Kind kind_;
    std::string hint_;
};

// Where the port is in its life. Lost: it went away by itself and may be opened again quietly.
enum class PortState { Closed, Opening, Open, Closing, Lost };

// The panel's one serial port, with the operations it needs, named after the port's properties.
// It keeps the rules for every transport: what may happen in which state, the bound on what
// waits, whole frames, the refusals, the logs, and a line that goes away. On each open it takes
// a transport for what the selected Comm item stands for. Every failing operation throws
// SerialError.
class SerialLayer {
  public:
    using MakeTransport = std::function<std::unique_ptr<Transport>(const PortAddress&)>;
    using Resolver = std::function<PortAddress(int port)>;
    // By default the transports of transport/factory.h, and the Comm items as this machine
    // maps them.
    explicit SerialLayer(MakeTransport make = {}, Resolver resolve = {});
    virtual ~SerialLayer();
    SerialLayer(const SerialLayer&) = delete;
    SerialLayer& operator=(const SerialLayer&) = delete;

    // Selects the port (COMn) that the next open uses.
    void CommPort(std::int16_t port);
    std::int16_t CommPort() const { return port_; }
    // Line settings such as "9600,N,8,1", for this and every later open.
    void Settings(std::string_view settings);
    bool PortOpen() const;
    // true opens the selected port with the settings in force; false closes it.
    void PortOpen(bool open);
    // Queues the whole frame behind earlier ones and returns without waiting. A frame that
    // would take the queue past kOutBufferSize is refused whole.
    void Output(std::span<const std::uint8_t> bytes);
    // Bytes queued that the line has not taken yet; 0 while the port is closed.
    std::size_t OutBufferCount() const;
    // Received bytes waiting, at most 32767.
    std::int16_t InBufferCount();
    // Only 0 is meaningful: discards every received byte waiting.
    void InBufferCount(std::int16_t count);
    // Returns once every byte written has left for the far end (for a device, sent on the
    // line). Throws SerialError (a write failure) when the port closes first or the timeout
    // passes.
    void drain(std::chrono::milliseconds timeout);

    // Opens this address instead of what CommPort stands for (tolvane-send --port DEVICE).
    void setAddress(std::optional<PortAddress> address) { fixed_ = std::move(address); }
    // What COMn opens, as text for the user choosing a port (see describeAddress).
    std::string describePort(std::int16_t port) const;
    // The device or address of the last open attempt, as named.
    const std::string& where() const { return address_.path; }
    PortState state() const { return state_; }

    // Called when the open port went away by itself; never for a close asked for. The handler
    // must not call back into the layer: it runs inside the layer's own handling of the loss.
    using LostHandler = std::function<void(TransportKind)>;
    void setLostHandler(LostHandler handler) { lostHandler_ = std::move(handler); }
    // One quiet try to open again what went away, with the settings in force: the same
    // adapter even under a new device name, else the same name, or the same address. True once
    // open; false while the try goes on in the background (a connection under way). Failures
    // throw SerialError (Open) and print nothing but debug lines.
    bool reopenLost();

  protected:
    // Closes and lets go of the transport: for a derived class whose members the transport uses.
    void release();

  private:
    void open();
    void close();
    [[noreturn]] void refuse(const std::string& reason, int error = 0);
    void takeTransport(std::unique_ptr<Transport> line);
    // Hands waiting frames to the transport, each once the system has taken all of the one
    // before, so that a close leaves whole frames behind, never the end of one begun.
    void feed();
    void writeQueued(std::chrono::steady_clock::time_point deadline);
    void dropQueue();
    void lost(const std::string& reason);
    void reopened(const std::string& was);
    [[noreturn]] void notOpen(SerialError::Kind kind, std::string_view what) const;
    std::string label() const;

    MakeTransport make_;
    Resolver resolve_;
    std::unique_ptr<Transport> line_;
    PortState state_ = PortState::Closed;
    std::int16_t port_ = 1;
    LineSettings settings_;
    std::optional<PortAddress> fixed_;
    PortAddress address_;
    std::deque<Bytes> waiting_;
    std::size_t waitingBytes_ = 0;
    bool feeding_ = false;
    bool quiet_ = false;  // a retry: failures are debug lines only
    LostHandler lostHandler_;
};

}  // namespace tolvane
