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
    candidate_.reserve(kMaxFrameWire);
    payload_.reserve(kMaxPayload);
    strayPrefix_.reserve(kMaxVerdictBytes);
}

void FrameDecoder::feed(std::span<const std::uint8_t> bytes, const Sink& sink) {
    for (std::uint8_t byte : bytes) {
        step(byte, sink);
        drain(sink);
    }
}

void FrameDecoder::finish(const Sink& sink) {
    drain(sink);
    // Each pass reports at least the start byte, so this ends.
    while (!candidate_.empty()) {
        breakOff(sink);
        drain(sink);
    }
    flushStray(sink);
}

void FrameDecoder::drain(const Sink& sink) {
    while (!replay_.empty()) {
        const std::uint8_t byte = replay_.front();
        replay_.pop_front();
        step(byte, sink);
    }
}

void FrameDecoder::step(std::uint8_t byte, const Sink& sink) {
    if (candidate_.empty()) {
        if (byte == kStartByte) {
            flushStray(sink);
            candidate_.push_back(byte);
            maxHeld_ = std::max(maxHeld_, held());
            return;
        }
        if (strayPrefix_.size() < kMaxVerdictBytes) strayPrefix_.push_back(byte);
        ++straySize_;
        return;
    }

    candidate_.push_back(byte);
    maxHeld_ = std::max(maxHeld_, held());
    const std::size_t at = candidate_.size() - 1;
    switch (stage_) {
        case Stage::Length:
            // The length byte counts the checksum, so 0 cannot be right.
            if (byte == 0) {
                noteFault(at, Kind::BadLength);
                breakOff(sink);
                return;
            }
            needed_ = byte - 1u;
            stage_ = needed_ > 0 ? Stage::Payload : Stage::Checksum;
            return;
        case Stage::Payload:
            takePayloadByte(byte, sink);
            return;
        case Stage::Checksum:
            // Never escaped, so any value, the start and end byte values included.
            checksum_ = byte;
            endAt_ = candidate_.size();
            stage_ = Stage::End;
            return;
        case Stage::End:
            atEnd(byte, sink);
            return;
        case Stage::Search:
            // Looking for where the frame really ends after its length byte proved wrong.
            if (byte == kEndByte || candidate_.size() >= kMaxFrameWire) {
                reject(candidate_.size(), verdictFor(candidate_.size()), sink);
            } else if (byte == kStartByte) {
                reject(at, verdictFor(at), sink);
            }
            return;
    }
}

void FrameDecoder::takePayloadByte(std::uint8_t byte, const Sink& sink) {
    const std::size_t at = candidate_.size() - 1;
    if (escape_) {
        escape_ = false;
        if (byte == kEndByte) {
            // An escape cut short by the end byte.
            noteFault(at, Kind::BadEscape);
            breakOff(sink);
            return;
        }
        const auto value = static_cast<std::uint8_t>(byte & ~kEscapeBit);
        if ((byte & kEscapeBit) == 0 || !needsEscape(value)) {
            noteFault(at, Kind::BadEscape);
            payload_.push_back(byte);
        } else {
            payload_.push_back(value);
        }
    } else if (byte == kEscapeByte) {
        escape_ = true;
        return;
    } else if (byte == kEndByte) {
        // The end byte came before the payload that the length byte announced.
        breakOff(sink);
        return;
    } else {
        if (needsEscape(byte)) noteFault(at, Kind::BadEscape);
        payload_.push_back(byte);
    }
    if (payload_.size() == needed_) stage_ = Stage::Checksum;
}

void FrameDecoder::atEnd(std::uint8_t byte, const Sink& sink) {
    if (byte == kEndByte) {
        complete(sink);
        return;
    }
    // The frame does not end where its length byte says. A start byte inside it means that
    // it was cut short and another frame began.
    if (const auto inner = innerStart()) {
        reject(*inner, verdictFor(*inner), sink);
    } else if (checksum_ == kEndByte) {
        // What stood in the checksum's place was the end byte: the length byte is too large.
        reject(*endAt_, verdictFor(*endAt_), sink);
    } else if (candidate_.size() >= kMaxFrameWire) {
        reject(candidate_.size(), verdictFor(candidate_.size()), sink);
    } else {
        stage_ = Stage::Search;
    }
}

void FrameDecoder::complete(const Sink& sink) {
    if (!faultAt_ && frameChecksum(payload_) == checksum_) {
        DecodedPiece piece{Kind::Frame, payload_, candidate_, candidate_.size()};
        resetFrame();
        sink(piece);
        return;
    }
    // A broken frame with a start byte inside was most likely a cut-short one followed by
    // another frame: look again from there rather than lose that frame.
    if (const auto inner = innerStart()) {
        reject(*inner, verdictFor(*inner), sink);
        return;
    }
    reject(candidate_.size(), faultAt_ ? fault_ : Kind::BadChecksum, sink);
}

void FrameDecoder::breakOff(const Sink& sink) {
    const std::size_t cut = innerStart().value_or(candidate_.size());
    reject(cut, verdictFor(cut), sink);
}

void FrameDecoder::reject(std::size_t cut, Kind kind, const Sink& sink) {
    DecodedPiece piece;
    piece.kind = kind;
    piece.size = cut;
    piece.wire.assign(candidate_.begin(),
                      candidate_.begin() + std::ptrdiff_t(std::min(cut, kMaxVerdictBytes)));
    replay_.insert(replay_.begin(), candidate_.begin() + std::ptrdiff_t(cut), candidate_.end());
    resetFrame();
    sink(piece);
}

// What the first `cut` bytes of the frame under way are, once it is known to be broken.
DecodedPiece::Kind FrameDecoder::verdictFor(std::size_t cut) const {
    if (faultAt_ && *faultAt_ < cut) return fault_;
    // Past the length byte, an end byte last means the length byte placed the end elsewhere.
    if (cut >= 3 && candidate_[cut - 1] == kEndByte) return Kind::BadLength;
    if (endAt_ && cut >= *endAt_) return Kind::MissingEnd;
    return Kind::Truncated;
}

std::optional<std::size_t> FrameDecoder::innerStart() const {
    const auto it = std::find(candidate_.begin() + 1, candidate_.end(), kStartByte);
    if (it == candidate_.end()) return std::nullopt;
    return std::size_t(it - candidate_.begin());
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
    candidate_.clear();
    payload_.clear();
    stage_ = Stage::Length;
    needed_ = 0;
    escape_ = false;
    checksum_ = 0;
    endAt_.reset();
    faultAt_.reset();
    fault_ = Kind::Frame;
}

}  // namespace tolvane
