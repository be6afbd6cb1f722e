// SPDX-License-Identifier: MIT
#include "targetaccess.h"

#include "options.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace refcam {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool identity(const QString &path, dev_t *dev, ino_t *ino)
{
    struct stat st = {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    *dev = st.st_dev;
    *ino = st.st_ino;
    return true;
}

// The user and the groups the kernel would check the caller's access with. Without a
// passwd entry only the user itself is known: owner and other bits decide then.
struct Caller
{
    uid_t uid;
    std::vector<gid_t> groups;

    explicit Caller(uid_t id)
        : uid(id)
    {
        std::vector<char> buffer(16384);
        struct passwd entry = {};
        struct passwd *found = nullptr;
        if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
            return;
        int count = 64;
        groups.resize(size_t(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
            groups.resize(size_t(count));
            if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
                count = 0;
        }
        groups.resize(size_t(count));
    }

    // bit: 2 write, 1 search. The class that matches first decides, as in the kernel.
    bool may(const struct stat &st, mode_t bit) const
    {
        if (st.st_uid == uid)
            return st.st_mode & (bit << 6);
        for (const gid_t group : groups)
            if (group == st.st_gid)
                return st.st_mode & (bit << 3);
        return st.st_mode & bit;
    }
};

} // namespace

OwnPlaces OwnPlaces::ofThisCamera()
{
    OwnPlaces places;
    const QString options = configFilePath();
    places.addFile(options);
    places.addFile(QStringLiteral("/proc/self/exe"));
    places.addFolder(QFileInfo(options).absolutePath());
    for (const auto location :
        { QStandardPaths::GenericConfigLocation, QStandardPaths::ConfigLocation,
            QStandardPaths::AppConfigLocation, QStandardPaths::AppDataLocation,
            QStandardPaths::AppLocalDataLocation, QStandardPaths::CacheLocation })
        places.addFolder(QStandardPaths::writableLocation(location));
    return places;
}

void OwnPlaces::addFolder(const QString &path)
{
    Place place { 0, 0, path };
    if (identity(path, &place.dev, &place.ino))
        m_folders.append(place);
}

void OwnPlaces::addFile(const QString &path)
{
    Place place { 0, 0, path };
    if (identity(path, &place.dev, &place.ino))
        m_files.append(place);
}

QString OwnPlaces::folderAt(dev_t dev, ino_t ino) const
{
    for (const Place &place : m_folders)
        if (place.dev == dev && place.ino == ino)
            return place.path;
    return QString();
}

QString OwnPlaces::fileAt(dev_t dev, ino_t ino) const
{
    for (const Place &place : m_files)
        if (place.dev == dev && place.ino == ino)
            return place.path;
    return QString();
}

CheckedFolder::~CheckedFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

// Why the folder open at fd (reached by that name) may not be passed, or an empty string.
QString folderProblem(int fd, const QString &reached, const Caller &caller, uid_t callerUid,
    const OwnPlaces &places, struct stat *st)
{
    if (::fstat(fd, st) != 0)
        return QStringLiteral("cannot look at %1: %2").arg(reached, systemError(errno));
    const QString own = places.folderAt(st->st_dev, st->st_ino);
    if (!own.isEmpty())
        return own == reached
            ? QStringLiteral("%1 is the camera's own folder").arg(reached)
            : QStringLiteral("%1 is the camera's own folder %2").arg(reached, own);
    if (!caller.may(*st, 1))
        return QStringLiteral("user %1 may not enter the folder %2").arg(callerUid).arg(reached);
    return QString();
}

// Why the caller may not have name written in the folder at fd, or an empty string.
QString fileProblem(int fd, const struct stat &st, const QString &name, const QString &reached,
    const Caller &caller, uid_t callerUid, const OwnPlaces &places)
{
    if (!caller.may(st, 2))
        return QStringLiteral("user %1 may not write in the folder %2").arg(callerUid).arg(reached);
    struct stat target = {};
    const QByteArray encoded = QFile::encodeName(name);
    if (::fstatat(fd, encoded.constData(), &target, AT_SYMLINK_NOFOLLOW) != 0)
        return QString();
    if (!places.fileAt(target.st_dev, target.st_ino).isEmpty())
        return QStringLiteral("it is the camera's own file %1")
            .arg(places.fileAt(target.st_dev, target.st_ino));
    // In a sticky folder only the file's owner (or the folder's) may replace it.
    if ((st.st_mode & S_ISVTX) && target.st_uid != callerUid && st.st_uid != callerUid)
        return QStringLiteral("user %1 may not replace it: the folder %2 is sticky and the "
                              "file is someone else's")
            .arg(callerUid)
            .arg(reached);
    return QString();
}

} // namespace

QString pathTargetProblem(
    const QString &path, uid_t callerUid, const OwnPlaces &places, CheckedFolder *folder)
{
    const Caller caller(callerUid);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(slash + 1);
    if (!path.startsWith(QLatin1Char('/')) || name.isEmpty() || name == QLatin1String(".")
        || name == QLatin1String(".."))
        return QStringLiteral("it does not name a file by an absolute path");

    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    QString reached = QStringLiteral("/");
    const QStringList parts = path.left(slash).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (int i = 0;; ++i) {
        if (fd < 0)
            return QStringLiteral("cannot open the folder %1: %2").arg(reached, systemError(errno));
        struct stat st = {};
        QString problem = folderProblem(fd, reached, caller, callerUid, places, &st);
        if (problem.isEmpty() && i == parts.size()) // the folder the file goes in
            problem = fileProblem(fd, st, name, reached, caller, callerUid, places);
        if (!problem.isEmpty()) {
            ::close(fd);
            return problem;
        }
        if (i == parts.size()) {
            folder->m_fd = fd;
            folder->m_name = name;
            folder->m_path = path;
            return QString();
        }
        const QString part = parts.at(i);
        if (part == QLatin1String("..")) {
            ::close(fd);
            return QStringLiteral("the path goes up a folder with '..'");
        }
        if (part == QLatin1String("."))
            continue;
        const QByteArray encoded = QFile::encodeName(part);
        // O_PATH with O_NOFOLLOW opens a link itself; O_DIRECTORY then refuses it.
        const int next
            = ::openat(fd, encoded.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        const QString at
            = reached == QLatin1String("/") ? reached + part : reached + QLatin1Char('/') + part;
        if (next < 0) {
            struct stat link = {};
            const bool isLink = ::fstatat(fd, encoded.constData(), &link, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISLNK(link.st_mode);
            ::close(fd);
            if (isLink)
                return QStringLiteral("the folder %1 is a symbolic link").arg(at);
            return QStringLiteral("cannot open the folder %1: %2").arg(at, systemError(error));
        }
        ::close(fd);
        fd = next;
        reached = at;
    }
}

QString appendProblem(int fd)
{
    // Every write would land at the end: a container's header, rewritten last, could not go
    // back to the start. Clearing the flag would change the caller's own open file.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_APPEND))
        return QStringLiteral("the descriptor was opened with O_APPEND, so the file cannot be "
                              "written from its start; open it without O_APPEND");
    return QString();
}

QString descriptorProblem(int fd)
{
    struct stat st = {};
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return QStringLiteral("the descriptor is not open");
    if (!S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? QStringLiteral("the descriptor is a folder")
            : S_ISFIFO(st.st_mode) ? QStringLiteral("the descriptor is a FIFO")
                                   : QStringLiteral("the descriptor is not a regular file");
    const int flags = ::fcntl(fd, F_GETFL);
    const int mode = flags & O_ACCMODE;
    if (flags < 0 || (flags & O_PATH) || (mode != O_WRONLY && mode != O_RDWR))
        return QStringLiteral("the descriptor is not open for writing");
    return appendProblem(fd);
}

bool DescriptorTarget::open(int fd)
{
    m_error = descriptorProblem(fd);
    if (!m_error.isEmpty())
        return false;
    // Our own copy, so closing the QFile leaves the caller's descriptor alone.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0 || ::ftruncate(own, 0) != 0 || ::lseek(own, 0, SEEK_SET) < 0) {
        m_error = systemError(errno);
        if (own >= 0)
            ::close(own);
        return false;
    }
    if (!m_file.open(own, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(own);
        m_error = m_file.errorString();
        return false;
    }
    return true;
}

bool DescriptorTarget::commit()
{
    if (!m_file.isOpen()) {
        m_error = QStringLiteral("not open");
        return false;
    }
    // The host renames the file into place next: it must be whole on disk by then.
    if (!m_file.flush() || ::fdatasync(m_file.handle()) != 0) {
        m_error = m_file.errorString().isEmpty() ? systemError(errno) : m_file.errorString();
        m_file.close();
        return false;
    }
    struct stat st = {};
    m_size = ::fstat(m_file.handle(), &st) == 0 ? qint64(st.st_size) : 0;
    m_file.close();
    return true;
}

} // namespace refcam
