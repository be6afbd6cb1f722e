#pragma once

#include <QString>
#include <QVariant>

namespace refcam {

// D-Bus signature of a demarshalled value ("s", "i", "a{sv}", ...).
QString dbusSignature(const QVariant &value);

// Human-readable rendering of a demarshalled value; strings are quoted and escaped.
QString formatDBusValue(const QVariant &value);

// Double-quoted, escaped, and cut short when huge so one request cannot flood the log.
QString quoted(const QString &text);

} // namespace refcam
