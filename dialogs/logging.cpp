#include "dialogs/logging.h"

Q_LOGGING_CATEGORY(lcDialogs, "brightloom.dialogs", QtInfoMsg)
