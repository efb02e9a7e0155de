#include "protocol/key_names.h"

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

namespace tolvane {
namespace {

// Only this much of an unknown name is compared: key names are short, and a long argument
// must not cost quadratic time.
constexpr std::size_t kComparedLength = 32;

std::size_t editDistance(std::string_view a, std::string_view b) {
    a = a.substr(0, kComparedLength);
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = asciiLower(a[i - 1]) == asciiLower(b[j - 1]);
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string_view nearestKeyName(std::string_view name) {
    std::string_view best = kKeys[0].plain;
    std::size_t bestDistance = editDistance(name, best);
    for (const auto member : {&KeyCommand::plain, &KeyCommand::control})
        for (const KeyCommand& row : kKeys)
            if (const std::size_t d = editDistance(name, row.*member); d < bestDistance) {
                best = row.*member;
                bestDistance = d;
            }
    return best;
}

std::optional<std::string_view> closeKeyName(std::string_view name) {
    constexpr std::size_t kMaxEdits = 2;
    constexpr std::size_t kPrefix = 3;
    std::optional<std::string_view> best;
    std::pair<bool, std::size_t> bestRank;  // (no shared prefix, edit distance): lower is closer
    for (const auto member : {&KeyCommand::plain, &KeyCommand::control})
        for (const KeyCommand& row : kKeys) {
            const std::string_view known = row.*member;
            const std::size_t d = editDistance(name, known);
            const bool sharedPrefix =
                name.size() >= kPrefix && known.size() >= kPrefix &&
                equalIgnoringCase(name.substr(0, kPrefix), known.substr(0, kPrefix));
            const std::pair rank{!sharedPrefix, d};
            if ((sharedPrefix || (d <= kMaxEdits && 2 * d <= known.size())) &&
                (!best || rank < bestRank)) {
                best = known;
                bestRank = rank;
            }
        }
    return best;
}

}  // namespace tolvane
