#include "projector/frame_decoder.h"

#include <algorithm>

namespace tolvane {

std::string_view kindName(DecodedPiece::Kind kind) {
    // In the order of DecodedPiece::Kind.
    static constexpr std::string_view kNames[] = {"frame",       "length",    "checksum", "escape",
                                                  "missing-end", "truncated", "stray"};
    return kNames[static_cast<std::size_t>(kind)];
}

FrameDecoder::FrameDecoder() {
    // Reserved once, so holding a frame never allocates again.
    held_.reserve(kMaxFrameWire);
    payload_.reserve(kMaxPayload);
    strayPrefix_.reserve(kMaxVerdictBytes);
}

void FrameDecoder::feed(std::span<const std::uint8_t> bytes, const Sink& sink) {
    for (std::uint8_t byte : bytes) {
        held_.push_back(byte);
        scan(sink);
    }
}

void FrameDecoder::finish(const Sink& sink) {
    // Each pass reports at least the start byte, so this ends.
    while (!held_.empty()) {
        breakOff(sink);
        scan(sink);
    }
    flushStray(sink);
}

void FrameDecoder::scan(const Sink& sink) {
    while (looked_ < held_.size()) {
        if (looked_ == 0 && held_[0] != kStartByte) {
            // A byte outside any frame.
            if (strayPrefix_.size() < kMaxVerdictBytes) strayPrefix_.push_back(held_[0]);
            ++straySize_;
            held_.erase(held_.begin());
            continue;
        }
        if (looked_ == 0) flushStray(sink);
        maxHeld_ = std::max(maxHeld_, held_.size());
        if (++looked_ > 1) step(held_[looked_ - 1], sink);
    }
}

void FrameDecoder::step(std::uint8_t byte, const Sink& sink) {
    const std::size_t at = looked_ - 1;
    switch (stage_) {
        case Stage::Length:
            // The length byte counts the checksum, so 0 cannot be right.
            if (byte == 0) {
                noteFault(at, Kind::BadLength);
                breakOff(sink);
                return;
            }
            stage_ = byte > 1 ? Stage::Payload : Stage::Checksum;
            return;
        case Stage::Payload:
            takePayloadByte(byte, sink);
            return;
        case Stage::Checksum:
            // Never escaped, so any value, the start and end byte values included.
            endAt_ = looked_;
            stage_ = Stage::End;
            return;
        case Stage::End:
            atEnd(byte, sink);
            return;
        case Stage::Search:
            // Looking for where the frame really ends after its length byte proved wrong.
            if (byte == kEndByte || looked_ >= kMaxFrameWire) {
                reject(looked_, sink);
            } else if (byte == kStartByte) {
                reject(at, sink);
            }
            return;
    }
}

void FrameDecoder::takePayloadByte(std::uint8_t byte, const Sink& sink) {
    const std::size_t at = looked_ - 1;
    if (byte == kEndByte) {
        // The end byte came before the payload that the length byte announced, or cut an
        // escape short.
        if (escape_) noteFault(at, Kind::BadEscape);
        breakOff(sink);
        return;
    }
    if (byte == kEscapeByte && !escape_) {
        escape_ = true;
        return;
    }
    // A value that needs escaping must come escaped, and only such a value may; a bad escape
    // keeps the byte as it came.
    const auto value = static_cast<std::uint8_t>(byte & ~kEscapeBit);
    const bool sound =
        escape_ ? (byte & kEscapeBit) != 0 && needsEscape(value) : !needsEscape(byte);
    if (!sound) noteFault(at, Kind::BadEscape);
    payload_.push_back(escape_ && sound ? value : byte);
    escape_ = false;
    // The length byte counts the payload and the checksum.
    if (payload_.size() + 1 == held_[1]) stage_ = Stage::Checksum;
}

void FrameDecoder::atEnd(std::uint8_t byte, const Sink& sink) {
    const std::uint8_t checksum = held_[*endAt_ - 1];
    if (byte == kEndByte && !faultAt_ && frameChecksum(payload_) == checksum) {
        DecodedPiece piece{Kind::Frame, payload_, Bytes(held_.begin(), held_.begin() + looked_),
                           looked_};
        held_.erase(held_.begin(), held_.begin() + looked_);
        resetFrame();
        sink(piece);
    } else if (byte == kEndByte || innerStart() < looked_) {
        // A broken frame with a start byte inside was most likely a cut-short one followed by
        // another frame: look again from there rather than lose that frame.
        breakOff(sink);
    } else if (checksum == kEndByte) {
        // What stood in the checksum's place was the end byte: the length byte is too large.
        reject(*endAt_, sink);
    } else if (looked_ >= kMaxFrameWire) {
        reject(looked_, sink);
    } else {
        // The frame does not end where its length byte says: look on for where it does.
        stage_ = Stage::Search;
    }
}

void FrameDecoder::breakOff(const Sink& sink) {
    reject(innerStart(), sink);
}

void FrameDecoder::reject(std::size_t cut, const Sink& sink) {
    DecodedPiece piece{verdictFor(cut),
                       {},
                       Bytes(held_.begin(), held_.begin() + std::min(cut, kMaxVerdictBytes)),
                       cut};
    held_.erase(held_.begin(), held_.begin() + std::ptrdiff_t(cut));
    resetFrame();
    sink(piece);
}

// What the first `cut` bytes of the frame under way are, once it is known to be broken.
DecodedPiece::Kind FrameDecoder::verdictFor(std::size_t cut) const {
    if (faultAt_ && *faultAt_ < cut) return fault_;
    // Past the length byte, an end byte last means the length byte placed the end elsewhere,
    // unless it stands where the length byte placed it: then only the checksum is wrong.
    if (cut >= 3 && held_[cut - 1] == kEndByte)
        return endAt_ && cut == *endAt_ + 1 ? Kind::BadChecksum : Kind::BadLength;
    if (endAt_ && cut >= *endAt_) return Kind::MissingEnd;
    return Kind::Truncated;
}

std::size_t FrameDecoder::innerStart() const {
    const auto frameEnd = held_.begin() + std::ptrdiff_t(looked_);
    return std::size_t(std::find(held_.begin() + 1, frameEnd, kStartByte) - held_.begin());
}

void FrameDecoder::noteFault(std::size_t at, Kind kind) {
    if (faultAt_) return;
    faultAt_ = at;
    fault_ = kind;
}

void FrameDecoder::flushStray(const Sink& sink) {
    if (straySize_ == 0) return;
    DecodedPiece piece{Kind::Stray, {}, strayPrefix_, straySize_};
    strayPrefix_.clear();
    straySize_ = 0;
    sink(piece);
}

void FrameDecoder::resetFrame() {
    looked_ = 0;
    payload_.clear();
    stage_ = Stage::Length;
    escape_ = false;
    endAt_.reset();
    faultAt_.reset();
    fault_ = Kind::Frame;
}

}  // namespace tolvane
