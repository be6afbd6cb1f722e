// SPDX-License-Identifier: MIT
#include "wirevalues.h"

#include <QDBusMetaType>
#include <QDBusVariant>

namespace refcam {

QDBusArgument &operator<<(QDBusArgument &argument, const WireValues &values)
{
    argument.beginMap(qMetaTypeId<QString>(), qMetaTypeId<QDBusVariant>());
    for (const auto &entry : values.entries) {
        argument.beginMapEntry();
        argument << entry.first << QDBusVariant(entry.second);
        argument.endMapEntry();
    }
    argument.endMap();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, WireValues &values)
{
    values.entries.clear();
    argument.beginMap();
    while (!argument.atEnd()) {
        QString key;
        QDBusVariant value;
        argument.beginMapEntry();
        argument >> key >> value;
        argument.endMapEntry();
        values.entries.append(qMakePair(key, value.variant()));
    }
    argument.endMap();
    return argument;
}

void registerWireValues()
{
    qDBusRegisterMetaType<WireValues>();
}

} // namespace refcam
