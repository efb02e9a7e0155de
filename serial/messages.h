#pragma once

#include <QString>
#include <string_view>

#include "transport/serial_layer.h"

namespace tolvane {

inline constexpr std::string_view kOpenFailedMessage =
    "Error while opening comm port. Ensure that a valid comm port is selected";
inline constexpr std::string_view kWriteFailedMessage =
    "Error while writing to comm port. Ensure that a valid comm port is selected";
inline constexpr std::string_view kReadFailedMessage =
    "Error while reading from comm port. Ensure that a valid comm port is selected";

// The connection check's results, as its dialogs word them.
inline constexpr std::string_view kRespondingText = "Projector is Responding.";
inline constexpr std::string_view kNotRespondingText =
    "Projector is not responding,either it is not connected or Baud Rate is incorrect.";

// Program text as Qt text. Messages may carry the system's reason, which is UTF-8 in any
// language.
inline QString qstr(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// The one place where a serial failure becomes the text the user reads.
constexpr std::string_view messageFor(SerialError::Kind kind) {
    switch (kind) {
        case SerialError::Kind::Write:
            return kWriteFailedMessage;
        case SerialError::Kind::Read:
            return kReadFailedMessage;
        case SerialError::Kind::Open:
        case SerialError::Kind::Settings:
            break;
    }
    return kOpenFailedMessage;
}

}  // namespace tolvane
