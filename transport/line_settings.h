#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

// Line settings in the text form "baud,parity,data bits,stop bits", e.g. "9600,N,8,1".
struct LineSettings {
    enum class Parity { None, Even, Odd, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    int baud = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Parses the text form; parity is one of N E O M S (either case), data bits 5 to 8,
// stop bits 1, 1.5 or 2. Throws std::invalid_argument naming what is wrong.
LineSettings parseLineSettings(std::string_view text);

// How long a line with these settings takes to send the given number of bytes (each with its
// start bit, parity bit and stop bits), rounded up.
std::chrono::microseconds lineTime(const LineSettings& settings, std::size_t bytes);

}  // namespace tolvane
