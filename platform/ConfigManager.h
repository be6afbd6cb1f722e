// SPDX-License-Identifier: MIT
#ifndef CONFIGMANAGER_H
#define CONFIGMANAGER_H

#include "kivappbase_export.h"

#include <memory>
#include <string>

class IniReader;

// Read-only access to one platform configuration file in INI form.
// The file is read once, by the constructor; nothing is shared between instances.
class KIVAPPBASE_EXPORT ConfigManager
{
public:
    // Opens directory/fileName. ok is set to whether the file could be read.
    // The two flags are accepted for compatibility and have no effect here.
    ConfigManager(const std::string &fileName, bool &ok, bool createIfMissing,
        const std::string &directory, bool writable);
    virtual ~ConfigManager();

    ConfigManager(const ConfigManager &) = delete;
    ConfigManager &operator=(const ConfigManager &) = delete;

    // Stores the value of key in group into value and returns true; leaves value
    // untouched and returns false when the group or key is missing.
    bool getSettingInfo(const std::string &group, const std::string &key, std::string &value);

private:
    std::unique_ptr<IniReader> m_reader;
};

#endif
