#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "transport/line_settings.h"

namespace tolvane {

// Telnet command bytes (RFC 854) and the options the panel uses (RFC 856, 858, 2217).
namespace telnet {
inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;
}  // namespace telnet

// Bytes of one subnegotiation kept; a longer one is still consumed whole, but reported as
// overlong with nothing of it kept. The longest the panel reads is a baud rate: 1 + 4 bytes.
inline constexpr std::size_t kMaxSubnegotiation = 64;

// Negotiation answers sent at most on one connection. A server that talks in earnest needs a
// few dozen bytes; one that keeps toggling options gets no more than this.
inline constexpr std::size_t kMaxNegotiationAnswers = 4096;

// Something a Telnet peer said besides data.
struct TelnetEvent {
    enum class Kind {
        Negotiation,     // command is kWill, kWont, kDo or kDont
        Subnegotiation,  // payload holds its bytes after the option, IAC doubling undone
        Overlong,        // a subnegotiation longer than kMaxSubnegotiation, dropped
        Command,         // any other two-byte command (NOP, AYT, GA, ...)
    };
    Kind kind = Kind::Command;
    std::uint8_t command = 0;
    std::uint8_t option = 0;
    Bytes payload;

    friend bool operator==(const TelnetEvent&, const TelnetEvent&) = default;
};

// Splits a Telnet byte stream, fed in chunks of any size, into data bytes and events. IAC IAC
// is one data byte 0xFF; everything else after an IAC is an event. The chunking never changes
// the result, and the decoder holds at most one subnegotiation of kMaxSubnegotiation bytes.
class TelnetDecoder {
  public:
    // Appends the data bytes of the chunk to data and its events to events.
    void feed(std::span<const std::uint8_t> chunk, Bytes& data, std::vector<TelnetEvent>& events);

  private:
    enum class State { Data, Iac, Option, SbOption, SbData, SbIac };
    State state_ = State::Data;
    std::uint8_t command_ = 0;
    std::uint8_t option_ = 0;
    Bytes sub_;
    bool overlong_ = false;
};

// Data for the wire: every 0xFF doubled.
Bytes escapeTelnetData(std::span<const std::uint8_t> data);

// The client side of the COM-PORT-OPTION (RFC 2217): asks to use it, sends the line settings
// once the server agrees, and knows when the server has confirmed every one. Refuses every
// other option, once per option however often it is asked, and never answers a request that
// changes nothing, so two peers cannot talk in circles and a server that repeats itself
// cannot make the client repeat itself.
class ComPortClient {
  public:
    enum class Status { Negotiating, Ready, Refused };

    explicit ComPortClient(LineSettings line) : line_(line) {}
    // What the client says first.
    Bytes start();
    // The client's answer to one event (often nothing).
    Bytes onEvent(const TelnetEvent& event);
    // The settings again, for a change while connected; nothing before the server agreed.
    Bytes setLine(LineSettings line);
    Status status() const;
    // Why the line is refused when the server set a value other than the one asked; else empty.
    const std::string& problem() const { return problem_; }

  private:
    Bytes lineSettings();

    LineSettings line_;
    bool serverAgreed_ = false;
    bool refused_ = false;
    bool sentSettings_ = false;
    // Confirmations still awaited, one bit per setting command (1..5).
    std::uint8_t awaited_ = 0;
    std::array<bool, 256> weDo_{};         // options we asked the server to use
    std::array<bool, 256> weWill_{};       // options we use
    std::array<bool, 256> refusedDo_{};    // options we told the server not to use
    std::array<bool, 256> refusedWill_{};  // options we told the server we will not use
    std::size_t answered_ = 0;             // bytes of negotiation answers so far
    std::array<Bytes, 6> asked_{};         // the value sent, by setting command (1..5)
    std::string problem_;
};

}  // namespace tolvane
