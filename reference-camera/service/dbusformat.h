// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QVariant>

namespace refcam {

// D-Bus signature of a demarshalled value ("s", "i", "a{sv}", ...).
QString dbusSignature(const QVariant &value);

// Human-readable rendering of a demarshalled value; strings are quoted and escaped.
QString formatDBusValue(const QVariant &value);

// Control characters, quotes and backslashes escaped, so no text can forge a log line; cut
// after maxChars, saying how much was cut, so one request cannot flood the log.
QString escaped(const QString &text, int maxChars = 2000);

// Double-quoted escaped().
QString quoted(const QString &text, int maxChars = 2000);

// A request key for the log: escaped() and cut shorter than values.
QString shownKey(const QString &key);

} // namespace refcam
