// SPDX-License-Identifier: MIT
#include "KivConfig.h"

#include "IniReader.h"

KivConfig::KivConfig(const QString &path, bool /*readOnly*/)
    : m_reader(std::make_unique<IniReader>(path))
{ }

KivConfig::~KivConfig() = default;

bool KivConfig::readBoolEntry(const QString &group, const QString &key, bool defaultValue) const
{
    QByteArray raw;
    if (!m_reader->value(group.toUtf8(), key.toUtf8(), &raw))
        return defaultValue;
    // The reader already trimmed the value; only letter case is left to fold.
    const QByteArray value = raw.toLower();
    for (const char *spelling : { "true", "yes", "on", "1" }) {
        if (value == spelling)
            return true;
    }
    for (const char *spelling : { "false", "no", "off", "0" }) {
        if (value == spelling)
            return false;
    }
    return defaultValue;
}

QString KivConfig::readEntry(
    const QString &group, const QString &key, const QString &defaultValue) const
{
    QByteArray raw;
    if (!m_reader->value(group.toUtf8(), key.toUtf8(), &raw))
        return defaultValue;
    return QString::fromUtf8(raw);
}

bool KivConfig::isValid() const
{
    return m_reader->isOpen();
}
