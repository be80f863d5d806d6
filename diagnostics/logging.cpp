#include "diagnostics/logging.h"

Q_LOGGING_CATEGORY(lcDiagnostics, "brightloom.diagnostics", QtInfoMsg)
