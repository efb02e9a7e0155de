#include "transport/line_settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace tolvane {
namespace {

constexpr int kMaxBaud = 4'000'000;

std::vector<std::string_view> splitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0, comma = 0; comma != std::string_view::npos; start = comma + 1) {
        comma = text.find(',', start);
        fields.push_back(text.substr(start, comma - start));
    }
    return fields;
}

int parseNumber(std::string_view field, const char* what) {
    int value = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (field.empty() || ec != std::errc() || end != field.data() + field.size())
        throw std::invalid_argument(std::string("invalid ") + what + ": \"" + std::string(field) +
                                    "\"");
    return value;
}

}  // namespace

LineSettings parseLineSettings(std::string_view text) {
    const auto fields = splitFields(text);
    if (fields.size() != 4)
        throw std::invalid_argument(
            "line settings need four fields (baud,parity,data,stop), got \"" + std::string(text) +
            "\"");
    LineSettings s;
    s.baud = parseNumber(fields[0], "baud rate");
    if (s.baud <= 0 || s.baud > kMaxBaud)
        throw std::invalid_argument("baud rate out of range: " + std::string(fields[0]));

    // N, E, O, M or S, either case, in the order of LineSettings::Parity.
    constexpr std::string_view kParities = "NEOMSneoms";
    const auto parity = fields[1].size() == 1 ? kParities.find(fields[1][0]) : kParities.npos;
    if (parity == kParities.npos)
        throw std::invalid_argument("invalid parity: \"" + std::string(fields[1]) + "\"");
    s.parity = LineSettings::Parity(parity % 5);

    s.dataBits = parseNumber(fields[2], "data bits");
    if (s.dataBits < 5 || s.dataBits > 8)
        throw std::invalid_argument("data bits must be 5 to 8, got " + std::string(fields[2]));

    // In the order of LineSettings::StopBits.
    constexpr std::array<std::string_view, 3> kStopBits{"1", "1.5", "2"};
    const auto stop = std::find(kStopBits.begin(), kStopBits.end(), fields[3]);
    if (stop == kStopBits.end())
        throw std::invalid_argument("stop bits must be 1, 1.5 or 2, got \"" +
                                    std::string(fields[3]) + "\"");
    s.stopBits = LineSettings::StopBits(stop - kStopBits.begin());
    return s;
}

std::chrono::microseconds lineTime(const LineSettings& settings, std::size_t bytes) {
    const bool parity = settings.parity != LineSettings::Parity::None;
    // Stop bits 1, 1.5 and 2 are 2, 3 and 4 half bits.
    const auto halfBits =
        std::uint64_t(2 * (1 + settings.dataBits + (parity ? 1 : 0)) + 2 + int(settings.stopBits));
    const auto baud = std::uint64_t(settings.baud);
    return std::chrono::microseconds((bytes * halfBits * 500'000 + baud - 1) / baud);
}

}  // namespace tolvane
