#include "api/logging.h"

Q_LOGGING_CATEGORY(lcApi, "brightloom.api", QtInfoMsg)
