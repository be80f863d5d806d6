#pragma once

#include <QLoggingCategory>

// Diagnostics of the service client; switch on with QT_LOGGING_RULES="brightloom.api.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcApi)
