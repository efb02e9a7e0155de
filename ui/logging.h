#pragma once

#include <QLoggingCategory>

// What the user was shown: each message box and result dialog is a debug line (off by default,
// QT_LOGGING_RULES="tolvane.ui.debug=true" shows them), so a log says what the user saw and when.
Q_DECLARE_LOGGING_CATEGORY(lcUi)
