// The Comm items and how their line is set; no Qt, so the command-line parsing can use it alone.
#pragma once

#include <string_view>

namespace tolvane {

inline constexpr std::string_view kLineSettings = "9600,N,8,1";
inline constexpr int kPortCount = 4;

}  // namespace tolvane
