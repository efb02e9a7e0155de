#include "transport/line_settings.h"

#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace tolvane {
namespace {

constexpr int kMaxBaud = 4'000'000;

std::vector<std::string_view> splitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
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

    if (fields[1].size() != 1)
        throw std::invalid_argument("invalid parity: \"" + std::string(fields[1]) + "\"");
    switch (fields[1][0]) {
        case 'N':
        case 'n':
            s.parity = LineSettings::Parity::None;
            break;
        case 'E':
        case 'e':
            s.parity = LineSettings::Parity::Even;
            break;
        case 'O':
        case 'o':
            s.parity = LineSettings::Parity::Odd;
            break;
        case 'M':
        case 'm':
            s.parity = LineSettings::Parity::Mark;
            break;
        case 'S':
        case 's':
            s.parity = LineSettings::Parity::Space;
            break;
        default:
            throw std::invalid_argument("invalid parity: \"" + std::string(fields[1]) + "\"");
    }

    s.dataBits = parseNumber(fields[2], "data bits");
    if (s.dataBits < 5 || s.dataBits > 8)
        throw std::invalid_argument("data bits must be 5 to 8, got " + std::string(fields[2]));

    if (fields[3] == "1")
        s.stopBits = LineSettings::StopBits::One;
    else if (fields[3] == "1.5")
        s.stopBits = LineSettings::StopBits::OneAndHalf;
    else if (fields[3] == "2")
        s.stopBits = LineSettings::StopBits::Two;
    else
        throw std::invalid_argument("stop bits must be 1, 1.5 or 2, got \"" +
                                    std::string(fields[3]) + "\"");
    return s;
}

std::chrono::microseconds lineTime(const LineSettings& settings, std::size_t bytes) {
    const bool parity = settings.parity != LineSettings::Parity::None;
    int halfStopBits = 2;
    if (settings.stopBits == LineSettings::StopBits::OneAndHalf) halfStopBits = 3;
    if (settings.stopBits == LineSettings::StopBits::Two) halfStopBits = 4;
    const auto halfBits =
        std::uint64_t(2 * (1 + settings.dataBits + (parity ? 1 : 0)) + halfStopBits);
    const auto baud = std::uint64_t(settings.baud);
    return std::chrono::microseconds((bytes * halfBits * 500'000 + baud - 1) / baud);
}

}  // namespace tolvane
