// SPDX-License-Identifier: MIT
#include "ConfigManager.h"

#include "IniReader.h"

#include <QByteArray>
#include <QFile>

ConfigManager::ConfigManager(const std::string &fileName, bool &ok, bool /*createIfMissing*/,
    const std::string &directory, bool /*writable*/)
{
    std::string path = directory;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += fileName;
    m_reader = std::make_unique<IniReader>(QFile::decodeName(QByteArray::fromStdString(path)));
    ok = m_reader->isOpen();
}

ConfigManager::~ConfigManager() = default;

bool ConfigManager::getSettingInfo(
    const std::string &group, const std::string &key, std::string &value)
{
    QByteArray found;
    if (!m_reader->value(QByteArray::fromStdString(group), QByteArray::fromStdString(key), &found))
        return false;
    value = found.toStdString();
    return true;
}
