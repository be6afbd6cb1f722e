// SPDX-License-Identifier: MIT
#ifndef KIVCONFIG_H
#define KIVCONFIG_H

#include "kivappbase_export.h"

#include <QString>

#include <memory>

class IniReader;

// Read-only access to one configuration file in INI form, read by the constructor.
class KIVAPPBASE_EXPORT KivConfig
{
public:
    // readOnly is accepted for compatibility: this reader never writes.
    explicit KivConfig(const QString &path, bool readOnly = true);
    ~KivConfig();

    KivConfig(const KivConfig &) = delete;
    KivConfig &operator=(const KivConfig &) = delete;

    // true/false, yes/no, on/off, 1/0 in any letter case; anything else, or a missing
    // file, group or key, gives defaultValue.
    bool readBoolEntry(const QString &group, const QString &key, bool defaultValue) const;
    QString readEntry(
        const QString &group, const QString &key, const QString &defaultValue = QString()) const;
    bool isValid() const;

private:
    std::unique_ptr<IniReader> m_reader;
};

#endif
