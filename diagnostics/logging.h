#pragma once

#include <QLoggingCategory>

// Update checks and crash reporting; switch on with QT_LOGGING_RULES="brightloom.diagnostics.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcDiagnostics)
