#pragma once

#include <QLoggingCategory>

// Serial failures are warnings (on by default); every frame written is a debug line (off by
// default, QT_LOGGING_RULES="tolvane.serial.debug=true" shows them).
Q_DECLARE_LOGGING_CATEGORY(lcSerial)
