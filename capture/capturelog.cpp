#include "capture/capturelog.h"

Q_LOGGING_CATEGORY(lcCapture, "brightloom.capture")
