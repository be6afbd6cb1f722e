// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace refcam {

// Every line carries this prefix so tests can pick our lines out of mixed output.
QString programPrefix();

// Lines go out unbuffered: tests read stdout while the process keeps running.
void printOut(const QString &line);
void printErr(const QString &line);

} // namespace refcam
