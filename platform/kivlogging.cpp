// SPDX-License-Identifier: MIT
#include "kivlogging_p.h"

Q_LOGGING_CATEGORY(lcAction, "kiv.action", QtWarningMsg)
Q_LOGGING_CATEGORY(lcKivConfig, "kiv.config", QtWarningMsg)
