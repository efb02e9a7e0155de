#pragma once

#include <string>

#include "projector/frame_decoder.h"

namespace tolvane::projector {

// The line printed for one piece of the received stream, without its newline:
// "lead-in", "lead-in power-on", "key <control>", "probe", "frame" or "bad <reason>",
// then the bytes as received in hex pairs.
std::string lineFor(const DecodedPiece& piece);

}  // namespace tolvane::projector
