// SPDX-License-Identifier: MIT
#include "captureoutput.h"

#include "console.h"
#include "targetaccess.h"
#include "targetfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace refcam {

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

class PathOutput : public CaptureOutput
{
public:
    explicit PathOutput(const QString &path, int dirFd = -1, const QString &name = QString())
        : m_path(path)
        , m_dirFd(dirFd)
        , m_name(name)
    { }
    bool open(QString *error) override
    {
        if (m_dirFd >= 0 ? m_file.openIn(m_dirFd, m_name, m_path) : m_file.open(m_path))
            return true;
        *error = m_file.errorString();
        return false;
    }
    int fd() const override { return m_file.handle(); }
    bool commit(qint64 *size, QString *error) override
    {
        if (!m_file.commit()) {
            *error = QStringLiteral("cannot write %1: %2").arg(m_path, m_file.errorString());
            return false;
        }
        *size = m_file.size();
        return true;
    }
    void discard() override { m_file.discard(); }
    QString name() const override { return m_path; }

private:
    QString m_path;
    int m_dirFd; // not owned: the checked folder outlives the capture
    QString m_name;
    TargetFile m_file;
};

class FdOutput : public CaptureOutput
{
public:
    explicit FdOutput(int fd)
        : m_fd(fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1)
    { }
    ~FdOutput() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool open(QString *error) override
    {
        struct stat st = {};
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
            *error = QStringLiteral("the file descriptor is not open");
            return false;
        }
        const QString problem = appendProblem(m_fd);
        if (!problem.isEmpty()) {
            *error = problem;
            return false;
        }
        if (S_ISREG(st.st_mode) && (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)) {
            *error = QStringLiteral("cannot rewrite the file: %1").arg(systemError());
            return false;
        }
        return true;
    }
    int fd() const override { return m_fd; }
    bool commit(qint64 *size, QString *error) override
    {
        struct stat st = {};
        if (::fstat(m_fd, &st) != 0 || (S_ISREG(st.st_mode) && ::fdatasync(m_fd) != 0)) {
            *error = systemError();
            return false;
        }
        *size = qint64(st.st_size);
        return true;
    }
    void discard() override
    {
        struct stat st = {};
        if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(m_fd, 0) != 0)
            printErr(programPrefix() + QStringLiteral("cannot empty the file after a failure"));
    }
    QString name() const override { return QStringLiteral("file descriptor %1").arg(m_fd); }

private:
    int m_fd;
};

} // namespace

std::unique_ptr<CaptureOutput> CaptureOutput::toPath(const QString &path)
{
    return std::make_unique<PathOutput>(path);
}

std::unique_ptr<CaptureOutput> CaptureOutput::toFolder(
    int dirFd, const QString &name, const QString &shownPath)
{
    return std::make_unique<PathOutput>(shownPath, dirFd, name);
}

std::unique_ptr<CaptureOutput> CaptureOutput::toFd(int fd)
{
    return std::make_unique<FdOutput>(fd);
}

bool CaptureOutput::seekable() const
{
    return ::lseek(fd(), 0, SEEK_CUR) >= 0;
}

qint64 CaptureOutput::pendingSize() const
{
    struct stat st = {};
    return ::fstat(fd(), &st) == 0 ? qint64(st.st_size) : -1;
}

bool CaptureOutput::write(const QByteArray &data, QString *error)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd(), data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = QStringLiteral("cannot write %1: %2").arg(name(), systemError());
            return false;
        }
        done += n;
    }
    return true;
}

bool CaptureOutput::copyFrom(const QString &path, QString *error)
{
    const int in = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, systemError());
        return false;
    }
    bool ok = true;
    for (;;) {
        const ssize_t n = ::sendfile(fd(), in, nullptr, 1 << 20);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QStringLiteral("cannot write %1: %2").arg(name(), systemError());
            ok = false;
        }
        if (n <= 0)
            break;
    }
    ::close(in);
    return ok;
}

} // namespace refcam
