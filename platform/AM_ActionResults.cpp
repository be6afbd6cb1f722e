// SPDX-License-Identifier: MIT
#include "AM_ActionResults.h"

AM_ActionResults::AM_ActionResults() = default;

AM_ActionResults::AM_ActionResults(const QMap<QString, QString> &results)
    : QMap<QString, QString>(results)
{ }
