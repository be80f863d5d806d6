#include "platform/logging.h"

Q_LOGGING_CATEGORY(lcPlatform, "brightloom.platform", QtInfoMsg)
