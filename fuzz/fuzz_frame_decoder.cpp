#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "projector/frame_decoder.h"
#include "protocol/frame.h"
#include "protocol/hex_text.h"

// Any byte stream, cut into chunks anywhere, decodes into pieces that account for every byte
// once, in order; the decoder never holds more than its bound; a frame re-encodes to the bytes
// it came from; the chunking never changes the pieces. A stream of well-formed frames decodes
// into exactly those frames: none lost, none split, none merged.
//
// Input: byte 0 chooses the chunk sizes; byte 1, when odd, makes the rest a list of payloads
// (a length byte, then that many bytes) to be sent as frames; otherwise the rest is the stream.

namespace {

using namespace tolvane;

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "frame decoder invariant broken: %s\n", what);
    std::abort();
}

std::vector<DecodedPiece> decode(std::span<const std::uint8_t> stream, std::uint8_t seed) {
    FrameDecoder decoder;
    std::vector<DecodedPiece> pieces;
    const auto sink = [&pieces](const DecodedPiece& piece) { pieces.push_back(piece); };
    // seed 0: the whole stream in one call; otherwise chunk sizes that vary from 1 up.
    std::size_t step = seed == 0 ? stream.size() : seed % 7 + 1;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min(step, stream.size() - at);
        decoder.feed(stream.subspan(at, n), sink);
        require(decoder.held() <= FrameDecoder::kMaxHeld, "held() above its bound");
        at += n;
        if (seed != 0) step = (step * 5 + seed) % 61 + 1;
    }
    decoder.finish(sink);
    require(decoder.idle(), "not idle after finish()");
    require(decoder.maxHeld() <= FrameDecoder::kMaxHeld, "maxHeld() above its bound");
    return pieces;
}

bool samePieces(const std::vector<DecodedPiece>& a, const std::vector<DecodedPiece>& b) {
    return std::ranges::equal(a, b, [](const DecodedPiece& x, const DecodedPiece& y) {
        return x.kind == y.kind && x.payload == y.payload && x.wire == y.wire && x.size == y.size;
    });
}

// The payloads listed in `records` (length byte, then the bytes; a short last one as it is).
std::vector<Bytes> payloadsOf(std::span<const std::uint8_t> records) {
    std::vector<Bytes> payloads;
    for (std::size_t at = 0; at < records.size();) {
        const std::size_t n =
            std::min<std::size_t>({records[at], kMaxPayload, records.size() - at - 1});
        payloads.emplace_back(records.begin() + std::ptrdiff_t(at + 1),
                              records.begin() + std::ptrdiff_t(at + 1 + n));
        at += 1 + n;
    }
    return payloads;
}

void checkCoverage(std::span<const std::uint8_t> stream, const std::vector<DecodedPiece>& pieces) {
    std::size_t offset = 0;
    for (const DecodedPiece& piece : pieces) {
        require(piece.size > 0, "an empty piece");
        require(piece.size <= stream.size() - offset, "pieces cover more than the stream");
        const auto covered = stream.subspan(offset, piece.size);
        if (piece.kind == DecodedPiece::Kind::Frame) {
            require(std::ranges::equal(piece.wire, covered), "a frame's wire is not its bytes");
            require(piece.payload.size() <= kMaxPayload, "a payload above the limit");
            // Every well-formed frame, the panel's own among them, has exactly one wire form.
            require(encodeFrame(piece.payload) == piece.wire, "a frame does not re-encode");
        } else {
            require(piece.payload.empty(), "a verdict with a payload");
            require(piece.wire.size() == std::min(piece.size, kMaxVerdictBytes),
                    "a verdict keeps the wrong number of bytes");
            require(std::ranges::equal(piece.wire, covered.first(piece.wire.size())),
                    "a verdict's bytes are not the stream's");
        }
        // Logs and the simulator show pieces as hex text; it must read back as the same bytes.
        require(parseHexText(toHex(piece.wire)) == piece.wire, "hex text does not read back");
        offset += piece.size;
    }
    require(offset == stream.size(), "pieces cover less than the stream");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t seed = data[0];
    const bool framesMode = (data[1] & 1) != 0;
    const std::span<const std::uint8_t> rest(data + 2, size - 2);

    std::vector<Bytes> payloads;
    Bytes stream;
    if (framesMode) {
        payloads = payloadsOf(rest);
        for (const Bytes& payload : payloads) {
            const Bytes wire = encodeFrame(payload);
            stream.insert(stream.end(), wire.begin(), wire.end());
        }
    } else {
        stream.assign(rest.begin(), rest.end());
    }

    const std::vector<DecodedPiece> pieces = decode(stream, seed);
    checkCoverage(stream, pieces);
    require(samePieces(pieces, decode(stream, 0)), "chunking changed the pieces");
    if (framesMode) {
        require(pieces.size() == payloads.size(), "frames lost, split or merged");
        for (std::size_t i = 0; i < pieces.size(); ++i)
            require(pieces[i].kind == DecodedPiece::Kind::Frame && pieces[i].payload == payloads[i],
                    "a frame decoded to another payload");
    }
    return 0;
}
