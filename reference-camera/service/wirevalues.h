// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QVariant>

namespace refcam {

// Invoke's values as the caller put them on the wire: a QVariantMap would sort them and
// fold duplicates, and the log shows what was really sent.
struct WireValues
{
    QList<QPair<QString, QVariant>> entries;
};

QDBusArgument &operator<<(QDBusArgument &argument, const WireValues &values);
const QDBusArgument &operator>>(const QDBusArgument &argument, WireValues &values);

// Once per process, before the adaptor is called.
void registerWireValues();

} // namespace refcam

Q_DECLARE_METATYPE(refcam::WireValues)
