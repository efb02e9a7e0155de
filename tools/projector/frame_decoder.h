#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "protocol/frame.h"

namespace tolvane {

// Longest Command frame on the wire: start, length, 254 payload bytes all escaped, checksum, end.
inline constexpr std::size_t kMaxFrameWire = 1 + 1 + kMaxPayload * 2 + 1 + 1;
// Bytes of a rejected stretch that its verdict keeps; `size` still counts all of them.
inline constexpr std::size_t kMaxVerdictBytes = 64;

// One piece of a received byte stream: a whole Command frame, or a verdict on a stretch of
// bytes that is not one. The pieces of a stream cover every byte of it once, in order.
struct DecodedPiece {
    enum class Kind {
        Frame,        // a well-formed frame
        BadLength,    // the length byte does not match the payload before the end byte
        BadChecksum,  // well delimited, but the checksum byte does not add up
        BadEscape,    // 1B followed by a byte other than 8E, 93 or 9B, or 13 sent unescaped
        MissingEnd,   // payload and checksum complete, but no end byte where the length says
        Truncated,    // cut short by a new start byte or by the end of the stream
        Stray,        // bytes outside any frame
    };

    Kind kind = Kind::Frame;
    Bytes payload;         // unescaped; frames only
    Bytes wire;            // the bytes as received; a verdict keeps at most kMaxVerdictBytes
    std::size_t size = 0;  // bytes of the stream this piece covers
};

// Short lower-case name of a kind, e.g. "checksum" or "missing-end".
std::string_view kindName(DecodedPiece::Kind kind);

// Splits a received byte stream, fed in chunks of any size, into Command frames and verdicts.
// The length byte says where a frame ends; when a frame turns out broken, decoding resumes at
// the first start byte after the broken frame's own, so a good frame that follows a cut-short
// one is still found. The chunking never changes the result.
//
// Memory is bounded whatever the input: held() never exceeds kMaxHeld bytes, besides one
// unescaped payload (at most kMaxPayload) and one verdict prefix (at most kMaxVerdictBytes).
class FrameDecoder {
  public:
    using Sink = std::function<void(const DecodedPiece&)>;
    static constexpr std::size_t kMaxHeld = kMaxFrameWire;

    FrameDecoder();

    // Decodes the bytes; every piece they complete goes to the sink, in stream order.
    void feed(std::span<const std::uint8_t> bytes, const Sink& sink);
    // End of stream: reports whatever is still held and starts afresh.
    void finish(const Sink& sink);

    // True when no byte waits for its piece to be reported.
    bool idle() const { return held_.empty() && straySize_ == 0; }
    // Raw bytes held for the frame under way, and the most ever held.
    std::size_t held() const { return held_.size(); }
    std::size_t maxHeld() const { return maxHeld_; }

  private:
    enum class Stage { Length, Payload, Checksum, End, Search };
    using Kind = DecodedPiece::Kind;

    // Looks at the held bytes not yet looked at, reporting every piece they complete.
    void scan(const Sink& sink);
    void step(std::uint8_t byte, const Sink& sink);
    void takePayloadByte(std::uint8_t byte, const Sink& sink);
    // The byte after the checksum: the end byte of a good frame, or the sign of a broken one.
    void atEnd(std::uint8_t byte, const Sink& sink);
    // The frame under way is broken: reports the bytes before the next start byte in it.
    void breakOff(const Sink& sink);
    // Reports the first `cut` bytes as broken; the bytes after them are looked at again.
    void reject(std::size_t cut, const Sink& sink);
    Kind verdictFor(std::size_t cut) const;
    // Where the first start byte after the frame's own is, or looked_ if there is none.
    std::size_t innerStart() const;
    void noteFault(std::size_t at, Kind kind);
    void flushStray(const Sink& sink);
    void resetFrame();

    // Raw bytes not yet reported: the frame under way from its start byte on, then, after a
    // broken frame, the bytes that followed it, to be looked at again.
    Bytes held_;
    std::size_t looked_ = 0;  // bytes of held_ that belong to the frame under way
    Stage stage_ = Stage::Length;
    Bytes payload_;                       // unescaped so far
    bool escape_ = false;                 // the last byte was the escape byte
    std::optional<std::size_t> endAt_;    // index where the end byte belongs
    std::optional<std::size_t> faultAt_;  // index of the first byte that broke the format
    Kind fault_ = Kind::Frame;

    Bytes strayPrefix_;
    std::size_t straySize_ = 0;
    std::size_t maxHeld_ = 0;
};

}  // namespace tolvane
