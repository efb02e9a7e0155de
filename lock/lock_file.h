#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// The PID in a serial-port lock file, in any of the forms programs write:
// - ASCII, as UUCP, socat -L, minicom and picocom write it: "%10d\n" (leading blanks, digits,
//   optional blanks, then a newline or the end);
// - Qt's QLockFile: "PID\nappname\nhostname\n" (the first line is read; the rest is free text);
// - binary: exactly four bytes, a native-endian int (at most 4194304, Linux's PID_MAX_LIMIT),
//   as old UUCP wrote it.
// nullopt when the bytes are none of these or the PID is not positive.
std::optional<std::int64_t> lockFilePid(std::span<const std::uint8_t> content);

// The device path a port name means: a name starting with "/", "./" or "../" is a path; any
// other, such as "ttyUSB0", names a device under /dev (as QSerialPort reads names too).
std::string devicePathForName(std::string_view name);

// Names of the lock files (without directory) that other programs may hold for a device,
// given the path it was named by and the device the path resolves to: the classic name after
// the base name ("LCK..ttyUSB0"), Qt's after the path below /dev with '/' as '_'
// ("LCK..pts_3", "LCK.._tmp_port"), and the major/minor form ("LCK.188.000"). Names too long
// for a file name are left out: no program can have made them.
std::vector<std::string> lockFileNames(std::string_view path, std::string_view device,
                                       unsigned major, unsigned minor);

}  // namespace tolvane
