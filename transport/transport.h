#pragma once

#include <QtGlobal>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>

#include "ports/port_mapping.h"
#include "transport/line_settings.h"

namespace tolvane {

// Bytes that may wait for a slow line; a 9600-baud line takes about 1 KiB a second, so this is
// a minute of key presses.
inline constexpr std::size_t kOutBufferSize = 64 * 1024;
// Received bytes kept at most; a chatty device cannot make the panel grow.
inline constexpr qint64 kReceiveBufferSize = 4096;

// What a port is reached through; a lost network port is retried more slowly.
enum class TransportKind { Device, Network };

// One way of reaching the projector's line: a serial device, a device server on the network.
// A transport does only what its medium needs; what may happen when, the bounds, the messages
// and the logs are the SerialLayer's, which drives it. No call blocks for longer than the system
// takes to answer; whatever takes time goes on in the background and ends in an event.
class Transport {
  public:
    // A failed open: the reason, and the system's error number behind it (0 if none).
    struct Failure : std::runtime_error {
        explicit Failure(const std::string& what, int error = 0)
            : std::runtime_error(what), error(error) {}
        int error;
    };

    // Set by the layer before the first open.
    struct Events {
        // The open line went away by itself (hang-up, removed device, server gone); the
        // transport has closed. Never called for a close asked for.
        std::function<void(const std::string& reason)> lost;
        // The system took bytes: the next frame may go.
        std::function<void()> written;
        // An open that went on in the background has opened the line, or failed.
        std::function<void()> opened;
        std::function<void(const Failure& failure)> failed;
    };

    virtual ~Transport() = default;
    void setEvents(Events events) { events_ = std::move(events); }

    virtual TransportKind kind() const = 0;
    // Opens the line with these settings: at once (isOpen() is then true), or in the
    // background (then opened or failed follows). Throws Failure when it fails at once.
    virtual void open(const PortAddress& address, const LineSettings& settings) = 0;
    // One quiet try to open again what was lost; as open().
    virtual void reopen(const PortAddress& address, const LineSettings& settings) {
        open(address, settings);
    }
    // Closes at once.
    virtual void close() = 0;
    // How long the line must stay open after the last byte was taken, so that it reaches the
    // far end (a device server's own line).
    virtual std::chrono::milliseconds holdBeforeClose() const { return {}; }
    // Closes the orderly way and calls `closed` when done (at once, or within a bound).
    virtual void closeGently(std::function<void()> closed) {
        close();
        closed();
    }
    virtual bool isOpen() const = 0;
    virtual void apply(const LineSettings& settings) = 0;
    // Whether the system can take this many bytes whole now; when it cannot, a written event
    // follows once it may. A press is handed over only then, so that a line that stops taking
    // bytes never holds the start of a press without its end.
    virtual bool roomFor(std::size_t /*bytes*/) { return true; }
    // Hands one whole frame to the transport; false when the line failed.
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;
    // Bytes handed over that the system has not taken yet.
    virtual qint64 bytesToWrite() const = 0;
    // Waits up to `ms` for the system to take some of them (for tolvane-send only).
    virtual void waitForWritten(int ms) = 0;
    virtual qint64 bytesAvailable() = 0;
    virtual void discardInput() = 0;
    // Once everything is with the system: waits until it has left, as far as the medium tells.
    // Throws Failure. For tolvane-send only.
    virtual void finishWrites() {}
    // The device or address opened, as named; for messages.
    virtual std::string where() const = 0;

  protected:
    const Events& events() const { return events_; }

  private:
    Events events_;
};

}  // namespace tolvane
