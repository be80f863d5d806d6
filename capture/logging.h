#pragma once

#include <QLoggingCategory>

// Diagnostics of the capture overlays; switch on with QT_LOGGING_RULES="brightloom.capture.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcCapture)
