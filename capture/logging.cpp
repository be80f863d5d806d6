#include "capture/logging.h"

Q_LOGGING_CATEGORY(lcCapture, "brightloom.capture", QtInfoMsg)
