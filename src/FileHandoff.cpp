// SPDX-License-Identifier: MIT
#include "FileHandoff_p.h"

#include <QFile>
#include <QRandomGenerator>
#include <QUrl>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

// The camera reads a file: URL as the local file it names; so do we.
QString FileHandoff::localPath(const QString &location)
{
    if (location.startsWith(QLatin1String("file:"))) {
        const QUrl url(location);
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return location;
}

bool FileHandoff::written() const
{
    struct stat st = {};
    return m_fd >= 0 && ::fstat(m_fd, &st) == 0 && st.st_size > 0;
}

bool FileHandoff::isFile(int fd) const
{
    struct stat mine = {};
    struct stat other = {};
    return m_fd >= 0 && fd >= 0 && ::fstat(m_fd, &mine) == 0 && ::fstat(fd, &other) == 0
        && mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

bool FileHandoff::fail(const QString &why)
{
    m_why = why;
    discard();
    return false;
}

bool FileHandoff::create(const QString &location)
{
    discard();
    m_why.clear();
    m_target = localPath(location);
    if (!m_target.startsWith(QLatin1Char('/')))
        return fail(QStringLiteral("%1 is not an absolute path").arg(m_target));
    const int slash = m_target.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash == 0 ? QStringLiteral("/") : m_target.left(slash);
    m_name = QFile::encodeName(m_target.mid(slash + 1));
    if (m_name.isEmpty() || m_name == "." || m_name == "..")
        return fail(QStringLiteral("%1 names a folder").arg(m_target));

    // O_PATH: creating needs write and search on the folder, not read.
    m_dirFd = ::open(QFile::encodeName(folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_dirFd < 0)
        return fail(
            QStringLiteral("cannot open the folder %1: %2").arg(folder, systemError(errno)));
    // Links and special files at the target stay the camera's to refuse, as before.
    struct stat st = {};
    if (::fstatat(m_dirFd, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && !S_ISREG(st.st_mode))
        return fail(QStringLiteral("%1 exists and is not a regular file").arg(m_target));

    // Beside the target, so the rename stays within one file system. Mode 0666 less the
    // umask: the file a host writes itself would get the same. Unnamed where the file
    // system can (O_TMPFILE): a host killed while the camera is open leaves nothing.
    m_fd = ::openat(m_dirFd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
    if (m_fd >= 0)
        return true;
    if (!createNamed())
        return fail(
            QStringLiteral("cannot create a file in %1: %2").arg(folder, systemError(errno)));
    return true;
}

bool FileHandoff::createNamed()
{
    const QByteArray stem = "." + m_name.left(200) + ".";
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        m_tempName
            = stem + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".part";
        m_fd = ::openat(m_dirFd, m_tempName.constData(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST)
            break;
    }
    if (m_fd < 0) {
        const int error = errno;
        m_tempName.clear();
        errno = error;
        return false;
    }
    return true;
}

void FileHandoff::closeFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool FileHandoff::commit()
{
    if (m_tempName.isEmpty() && m_fd >= 0) {
        // An unnamed file gets a hidden name first: rename() is what replaces atomically.
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
        const QByteArray stem = "." + m_name.left(200) + ".";
        for (int attempt = 0; attempt < 100 && m_tempName.isEmpty(); ++attempt) {
            const QByteArray name
                = stem + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".part";
            if (::linkat(AT_FDCWD, self.constData(), m_dirFd, name.constData(), AT_SYMLINK_FOLLOW)
                == 0)
                m_tempName = name;
            else if (errno != EEXIST)
                break;
        }
        if (m_tempName.isEmpty())
            return fail(QStringLiteral("cannot name the capture in the folder of %1: %2")
                            .arg(m_target, systemError(errno)));
    }
    if (m_tempName.isEmpty())
        return fail(QStringLiteral("no file to move"));
    if (::renameat(m_dirFd, m_tempName.constData(), m_dirFd, m_name.constData()) != 0)
        return fail(QStringLiteral("cannot move the capture onto %1: %2")
                        .arg(m_target, systemError(errno)));
    m_tempName.clear();
    closeDir();
    return true;
}

void FileHandoff::discard()
{
    closeFd();
    if (!m_tempName.isEmpty() && m_dirFd >= 0)
        ::unlinkat(m_dirFd, m_tempName.constData(), 0);
    m_tempName.clear();
    closeDir();
}

void FileHandoff::closeDir()
{
    if (m_dirFd >= 0)
        ::close(m_dirFd);
    m_dirFd = -1;
}
