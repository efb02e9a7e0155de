#pragma once

#include <QLoggingCategory>

// Serial failures are warnings (on by default); every frame written is a debug line (off by
// default, QT_LOGGING_RULES="tolvane.serial.debug=true" shows them).
Q_DECLARE_LOGGING_CATEGORY(lcSerial)
// What the user was shown: each message box and result dialog is a debug line (off by default,
// "tolvane.ui.debug=true" shows them), so a log says what the user saw and when.
Q_DECLARE_LOGGING_CATEGORY(lcUi)
