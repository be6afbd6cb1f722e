// SPDX-License-Identifier: MIT
#include "targetfile.h"

#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace refcam {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What stands at name in dirFd, looked at without opening or following it.
QString refusedKind(int dirFd, const QByteArray &name, QString *error)
{
    struct stat st = {};
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            *error = systemError(errno);
        return QString();
    }
    if (S_ISREG(st.st_mode))
        return QString();
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("a symbolic link");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("a socket");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a folder");
    return QStringLiteral("not a regular file");
}

} // namespace

TargetFile::~TargetFile()
{
    discard();
}

bool TargetFile::fail(const QString &error)
{
    m_error = error;
    discard();
    return false;
}

bool TargetFile::open(const QString &path)
{
    m_path = path;
    // The system would see the path end at the NUL: another file than the one named.
    if (path.contains(QChar(0)))
        return fail(QStringLiteral("it contains a NUL character"));
    if (!path.startsWith(QLatin1Char('/')))
        return fail(QStringLiteral("not an absolute path"));
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash == 0 ? QStringLiteral("/") : path.left(slash);
    m_name = QFile::encodeName(path.mid(slash + 1));
    if (m_name.isEmpty() || m_name == "." || m_name == "..")
        return fail(QStringLiteral("it names a folder"));

    // Folders never block on open; everything below is relative to this one.
    m_dirFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_dirFd < 0)
        return fail(
            QStringLiteral("cannot open the folder %1: %2").arg(folder, systemError(errno)));
    return openInFolder(folder);
}

bool TargetFile::openIn(int dirFd, const QString &name, const QString &shownPath)
{
    m_path = shownPath;
    m_name = QFile::encodeName(name);
    if (name.contains(QChar(0)) || name.contains(QLatin1Char('/')) || m_name.isEmpty()
        || m_name == "." || m_name == "..")
        return fail(QStringLiteral("it does not name a file"));
    m_dirFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 3);
    if (m_dirFd < 0)
        return fail(QStringLiteral("the folder is not open: %1").arg(systemError(errno)));
    const int slash = shownPath.lastIndexOf(QLatin1Char('/'));
    return openInFolder(slash > 0 ? shownPath.left(slash) : QStringLiteral("/"));
}

bool TargetFile::openInFolder(const QString &folder)
{
    if (!checkTarget())
        return false;

    // Nameless until commit() where the file system can: a killed camera leaves nothing.
    int fd = ::openat(m_dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    m_anonymous = fd >= 0;
    if (fd < 0)
        fd = openNamedTemp();
    if (fd < 0) {
        const int error = errno;
        m_tempName.clear();
        return fail(
            QStringLiteral("cannot create a file in %1: %2").arg(folder, systemError(error)));
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("the new file in %1 is not a regular file").arg(folder));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(m_file.errorString());
    }
    return true;
}

// A hidden name beside the target, so the rename stays within one file system; the pid in
// it lets a later camera remove what a killed one left (removeStaleParts()).
int TargetFile::openNamedTemp()
{
    const QByteArray stem
        = "." + m_name.left(200) + "." + QByteArray::number(qint64(::getpid())) + "-";
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        m_tempName
            = stem + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".part";
        fd = ::openat(m_dirFd, m_tempName.constData(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

// A nameless file gets a hidden name for the moment of the rename: linkat() never
// replaces, renameat() does.
bool TargetFile::nameAnonymous()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_file.handle());
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_tempName = "." + m_name.left(200) + "." + QByteArray::number(qint64(::getpid())) + "-"
            + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".part";
        if (::linkat(AT_FDCWD, self.constData(), m_dirFd, m_tempName.constData(), AT_SYMLINK_FOLLOW)
            == 0)
            return true;
        if (errno != EEXIST)
            break;
    }
    m_tempName.clear();
    return fail(systemError(errno));
}

bool TargetFile::checkTarget()
{
    QString error;
    const QString kind = refusedKind(m_dirFd, m_name, &error);
    if (!error.isEmpty())
        return fail(error);
    if (!kind.isEmpty())
        return fail(QStringLiteral("it is %1; a camera only writes regular files").arg(kind));
    return true;
}

bool TargetFile::commit()
{
    if (!m_file.isOpen() || (!m_anonymous && m_tempName.isEmpty()))
        return fail(m_error.isEmpty() ? QStringLiteral("not open") : m_error);
    if (!m_file.flush())
        return fail(writeError(QStringLiteral("cannot write")));
    if (::fdatasync(m_file.handle()) != 0)
        return fail(systemError(errno));
    struct stat st = {};
    m_size = ::fstat(m_file.handle(), &st) == 0 ? qint64(st.st_size) : 0;
    if (m_anonymous && !nameAnonymous())
        return false;
    m_file.close();
    // Looked at again: something may have been planted there while we wrote. rename()
    // itself never follows a link at the target, so at worst the link is replaced.
    if (!checkTarget())
        return false;
    if (::renameat(m_dirFd, m_tempName.constData(), m_dirFd, m_name.constData()) != 0)
        return fail(systemError(errno));
    m_tempName.clear();
    discard();
    return true;
}

QString TargetFile::writeError(const QString &fallback)
{
    // QIODevice::errorString() is never empty ("Unknown error"): only a real error of the
    // file says what the system said (ENOSPC: "No space left on device").
    if (m_file.error() != QFileDevice::NoError)
        return m_file.errorString();
    // A short write sets no error; one more write makes the system say why. The file is
    // dropped anyway.
    if (m_file.isOpen() && ::write(m_file.handle(), "", 1) < 0)
        return systemError(errno);
    return fallback;
}

void TargetFile::discard()
{
    if (m_file.isOpen())
        m_file.close();
    if (!m_tempName.isEmpty() && m_dirFd >= 0)
        ::unlinkat(m_dirFd, m_tempName.constData(), 0);
    m_tempName.clear();
    if (m_dirFd >= 0)
        ::close(m_dirFd);
    m_dirFd = -1;
}

QString describeUnsafeTarget(const QString &path)
{
    TargetFile probe;
    if (probe.open(path))
        return QString();
    return probe.errorString();
}

QString describeUnsafeTarget(int dirFd, const QString &name)
{
    TargetFile probe;
    if (probe.openIn(dirFd, name, name))
        return QString();
    return probe.errorString();
}

} // namespace refcam
