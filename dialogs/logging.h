#pragma once

#include <QLoggingCategory>

// Diagnostics of the dialogs and the drop widget; switch on with
// QT_LOGGING_RULES="brightloom.dialogs.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcDialogs)
