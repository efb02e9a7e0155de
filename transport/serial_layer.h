// transport/: the port to the projector: its rules, and the transports that reach it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tolvane {

// Bytes that may wait for a slow line; a 9600-baud line takes about 1 KiB a second, so this is
// a minute of key presses.
inline constexpr std::size_t kOutBufferSize = 64 * 1024;

// A failure of the serial layer; what went wrong decides the message the user sees.
class SerialError : public std::runtime_error {
  public:
    enum class Kind { Open, Write, Read, Settings };
    SerialError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// What a port is reached through; a lost network port is retried more slowly.
enum class Transport { Device, Network };

// The operations the panel needs from its serial port, named after the port's properties.
// Every failing operation throws SerialError.
class SerialLayer {
  public:
    virtual ~SerialLayer() = default;

    // Selects the port (COMn) that the next open uses.
    virtual void CommPort(std::int16_t port) = 0;
    virtual std::int16_t CommPort() const = 0;
    // Line settings such as "9600,N,8,1", for this and every later open.
    virtual void Settings(std::string_view settings) = 0;
    virtual bool PortOpen() const = 0;
    // true opens the selected port with the settings in force; false closes it.
    virtual void PortOpen(bool open) = 0;
    // Queues the whole frame behind earlier ones and returns without waiting. A frame that
    // would take the queue past kOutBufferSize is refused whole.
    virtual void Output(std::span<const std::uint8_t> bytes) = 0;
    // Bytes queued that the line has not taken yet; 0 while the port is closed.
    virtual std::size_t OutBufferCount() const = 0;
    // Received bytes waiting, at most 32767.
    virtual std::int16_t InBufferCount() = 0;
    // Only 0 is meaningful: discards every received byte waiting.
    virtual void InBufferCount(std::int16_t count) = 0;
    // Returns once every byte written has left for the far end (for a device, sent on the
    // line). Throws SerialError (a write failure) when the port closes first or the timeout
    // passes.
    virtual void drain(std::chrono::milliseconds timeout) = 0;

    // For the user choosing a port: what COMn opens (a device, and what is known of it, or
    // that nothing is there), as UTF-8 text; empty when this layer cannot tell.
    virtual std::string describePort(std::int16_t port) const {
        static_cast<void>(port);
        return {};
    }

    // Called when the open port went away by itself (hang-up, device removed, the server
    // closed the connection); never for a close asked for. The handler must not call back
    // into the layer: it runs inside the layer's own handling of the loss.
    using LostHandler = std::function<void(Transport)>;
    virtual void setLostHandler(LostHandler handler) { lostHandler_ = std::move(handler); }
    // One quiet try to open again what went away, with the settings in force: the same
    // adapter even under a new device name, else the same name, or the same address. Failures
    // throw SerialError (Open) and print nothing but debug lines.
    virtual void reopenLost() { PortOpen(true); }

  protected:
    // Tells the handler, if any; returns whether there was one.
    bool reportLost(Transport transport) const {
        if (lostHandler_) lostHandler_(transport);
        return bool(lostHandler_);
    }

  private:
    LostHandler lostHandler_;
};

}  // namespace tolvane
