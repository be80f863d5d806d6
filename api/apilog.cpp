#include "api/apilog.h"

Q_LOGGING_CATEGORY(lcApi, "brightloom.api", QtWarningMsg)
