#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tolvane::bus {

// The rows of kKeys for key names a caller gave (plain or control names, any case), every name
// looked up before any key is pressed; or, when one is unknown or none is given, the message
// for the caller, in printable ASCII.
std::variant<std::vector<std::size_t>, std::string> keyRowsFor(std::span<const std::string> names);

}  // namespace tolvane::bus
