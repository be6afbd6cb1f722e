// SPDX-License-Identifier: MIT
#ifndef KIV_INIREADER_H
#define KIV_INIREADER_H

#include <QByteArray>
#include <QHash>
#include <QString>

// Private to the platform layer: the plain INI reader behind ConfigManager and KivConfig.
//
// Format: "[group]" lines, "key=value" lines (blanks around key and value trimmed),
// blank lines and comment lines starting with '#' or ';'. Groups and keys are
// case-sensitive, the last of a repeated key within a group wins, malformed lines are
// skipped. Values are raw bytes: no escapes, no quoting, no list splitting.
class IniReader
{
public:
    // Larger files are not read at all (a warning, and the reader is not open), so a
    // hostile file costs neither the memory nor the time of reading it.
    static constexpr qint64 MaxFileSize = 8 * 1024 * 1024;

    // Reads the whole file now; nothing is cached between readers. Only regular files are
    // read: a FIFO, device or directory is refused with a warning, without blocking.
    explicit IniReader(const QString &path);

    // Parses text directly (used by the file constructor and by tests and fuzzers).
    static IniReader fromData(const QByteArray &data);

    bool isOpen() const { return m_open; }
    bool value(const QByteArray &group, const QByteArray &key, QByteArray *out) const;

    // Path as opened: $KIV_ROOT is prepended to absolute paths when set.
    static QString resolvePath(const QString &path);

private:
    IniReader() = default;
    void parse(const QByteArray &data);

    bool m_open = false;
    QHash<QByteArray, QHash<QByteArray, QByteArray>> m_groups;
};

#endif
