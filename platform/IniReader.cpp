// SPDX-License-Identifier: MIT
#include "IniReader.h"

#include "kivlogging_p.h"
#include "safefile_p.h"

#include <QFile>

#include <cerrno>
#include <cstring>

namespace {

// int in Qt 5, qsizetype in Qt 6.
using ByteSize = decltype(QByteArray().size());

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

void trimBlanks(const char *&begin, const char *&end)
{
    while (begin < end && isBlank(*begin))
        ++begin;
    while (end > begin && isBlank(end[-1]))
        --end;
}

// A name holding control bytes comes from garbage, not from a person: drop the line.
bool isCleanName(const char *begin, const char *end)
{
    for (; begin < end; ++begin) {
        const auto c = static_cast<unsigned char>(*begin);
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    }
    return true;
}

QByteArray bytes(const char *begin, const char *end)
{
    return QByteArray(begin, static_cast<ByteSize>(end - begin));
}

} // namespace

IniReader::IniReader(const QString &path)
{
    const QString resolved = resolvePath(path);
    SafeFile::File file;
    QByteArray data;
    SafeFile::Status status = file.open(QFile::encodeName(resolved).constData());
    if (status == SafeFile::Status::Missing)
        return; // an ordinary case, not worth a line
    if (status == SafeFile::Status::Ok)
        status = file.readAll(MaxFileSize, &data);
    switch (status) {
    case SafeFile::Status::Ok:
        parse(data);
        m_open = true;
        return;
    case SafeFile::Status::Missing:
        return;
    case SafeFile::Status::NotRegular:
        // A FIFO would block, a device such as /dev/zero never ends.
        qCWarning(lcKivConfig, "Cannot read %s: %s", qUtf8Printable(resolved),
            file.error() == EISDIR ? "is a directory" : "not a regular file");
        return;
    case SafeFile::Status::TooLarge:
        qCWarning(lcKivConfig,
            "Cannot read %s: larger than %lld bytes, the most a configuration "
            "file may hold; ignored as if missing",
            qUtf8Printable(resolved), static_cast<long long>(MaxFileSize));
        return;
    case SafeFile::Status::Failed:
        qCWarning(lcKivConfig, "Cannot read %s: %s", qUtf8Printable(resolved),
            std::strerror(file.error()));
        return;
    }
}

IniReader IniReader::fromData(const QByteArray &data)
{
    IniReader reader;
    reader.parse(data);
    reader.m_open = true;
    return reader;
}

bool IniReader::value(const QByteArray &group, const QByteArray &key, QByteArray *out) const
{
    const auto groupIt = m_groups.constFind(group);
    if (groupIt == m_groups.constEnd())
        return false;
    const auto keyIt = groupIt->constFind(key);
    if (keyIt == groupIt->constEnd())
        return false;
    if (out)
        *out = *keyIt;
    return true;
}

QString IniReader::resolvePath(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return path;
    // Read at every open so a test or a tool can switch roots within one process.
    QString root = QFile::decodeName(qgetenv("KIV_ROOT"));
    while (root.endsWith(QLatin1Char('/')))
        root.chop(1);
    return root + path;
}

void IniReader::parse(const QByteArray &data)
{
    const char *pos = data.constData();
    const char *const end = pos + data.size();
    if (end - pos >= 3 && std::memcmp(pos, "\xEF\xBB\xBF", 3) == 0)
        pos += 3;

    // Created on first use, so a file without header-less keys has no "" group.
    QHash<QByteArray, QByteArray> *group = nullptr;
    while (pos < end) {
        const auto *newline
            = static_cast<const char *>(std::memchr(pos, '\n', static_cast<size_t>(end - pos)));
        const char *begin = pos;
        const char *lineEnd = newline ? newline : end;
        pos = newline ? newline + 1 : end;

        while (lineEnd > begin && (isBlank(lineEnd[-1]) || lineEnd[-1] == '\r'))
            --lineEnd;
        while (begin < lineEnd && isBlank(*begin))
            ++begin;
        if (begin == lineEnd || *begin == '#' || *begin == ';')
            continue;

        if (*begin == '[') {
            if (lineEnd - begin < 2 || lineEnd[-1] != ']')
                continue;
            const char *nameBegin = begin + 1;
            const char *nameEnd = lineEnd - 1;
            trimBlanks(nameBegin, nameEnd);
            if (!isCleanName(nameBegin, nameEnd))
                continue;
            group = &m_groups[bytes(nameBegin, nameEnd)];
            continue;
        }

        const auto *equals = static_cast<const char *>(
            std::memchr(begin, '=', static_cast<size_t>(lineEnd - begin)));
        if (!equals)
            continue;
        const char *keyBegin = begin;
        const char *keyEnd = equals;
        trimBlanks(keyBegin, keyEnd);
        if (keyBegin == keyEnd || !isCleanName(keyBegin, keyEnd))
            continue;
        const char *valueBegin = equals + 1;
        const char *valueEnd = lineEnd;
        trimBlanks(valueBegin, valueEnd);
        if (!group)
            group = &m_groups[QByteArray()];
        group->insert(bytes(keyBegin, keyEnd), bytes(valueBegin, valueEnd));
    }
}
