// platform/: the real port and the operating system's services (signals, device names).
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tolvane {

// A failure of the serial layer; what went wrong decides the message the user sees.
class SerialError : public std::runtime_error {
  public:
    enum class Kind { Open, Write, Read, Settings };
    SerialError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

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
    // Queues the whole frame behind earlier ones and returns without waiting.
    virtual void Output(std::span<const std::uint8_t> bytes) = 0;
    // Received bytes waiting, at most 32767.
    virtual std::int16_t InBufferCount() = 0;
    // Only 0 is meaningful: discards every received byte waiting.
    virtual void InBufferCount(std::int16_t count) = 0;
};

}  // namespace tolvane
