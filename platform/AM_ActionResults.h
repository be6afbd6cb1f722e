// SPDX-License-Identifier: MIT
#ifndef AM_ACTIONRESULTS_H
#define AM_ACTIONRESULTS_H

#include "kivappbase_export.h"

#include <QMap>
#include <QMetaType>
#include <QString>

// The answer of an action handler: string keys to string values.
// It is a QMap so callers use the familiar contains()/value() API.
class KIVAPPBASE_EXPORT AM_ActionResults : public QMap<QString, QString>
{
public:
    AM_ActionResults();
    explicit AM_ActionResults(const QMap<QString, QString> &results);

    const QMap<QString, QString> &results() const { return *this; }
};

Q_DECLARE_METATYPE(AM_ActionResults)

#endif
