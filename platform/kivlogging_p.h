// SPDX-License-Identifier: MIT
#ifndef KIV_LOGGING_P_H
#define KIV_LOGGING_P_H

#include <QLoggingCategory>

// The platform layer's warnings; both categories are defined once, in kivlogging.cpp.
Q_DECLARE_LOGGING_CATEGORY(lcAction) // kiv.action: launches that were aborted, and why
Q_DECLARE_LOGGING_CATEGORY(lcKivConfig) // kiv.config: configuration files that were not read

#endif
