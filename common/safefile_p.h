// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICE_SAFEFILE_P_H
#define CAMERAUISERVICE_SAFEFILE_P_H

// Opening a file named by someone else, without hanging and without reading a different
// file than the one checked. Header-only and internal: the library and the bundled
// platform layer both include it, so neither links anything for it, and a device's own
// platform library is not asked to provide it.
//
// One lookup of the path: a non-blocking open (a FIFO or a device opens at once instead
// of waiting for a writer), then fstat of that descriptor (what was opened is what is
// checked: a file swapped in after the check is never read), then reads from it.

#include <QByteArray>
#include <QtGlobal>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SafeFile {

enum class Status
{
    Ok,
    Missing, // ENOENT: nothing at the path, or a dangling link
    NotRegular, // a directory, FIFO, socket or device
    TooLarge, // more than the caller's limit
    Failed, // open, fstat or read failed: see error
};

// An open descriptor of a regular file, closed with the object.
class File
{
public:
    File() = default;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File() { close(); }

    // Opens path for reading. On Ok the descriptor is a regular file of size().
    Status open(const char *path)
    {
        close();
        m_fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0) {
            m_error = errno;
            return m_error == ENOENT ? Status::Missing : Status::Failed;
        }
        struct stat st;
        if (::fstat(m_fd, &st) != 0) {
            m_error = errno;
            close();
            return Status::Failed;
        }
        if (!S_ISREG(st.st_mode)) {
            m_error = S_ISDIR(st.st_mode) ? EISDIR : 0;
            close();
            return Status::NotRegular;
        }
        // Regular files never block; later reads need not see EAGAIN.
        const int flags = ::fcntl(m_fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK);
        m_size = static_cast<qint64>(st.st_size);
        return Status::Ok;
    }

    // Reads the whole file, at most maxBytes: TooLarge (and nothing read) when fstat
    // reported more, or when it grew past the limit while being read. Memory stays within
    // maxBytes plus one chunk.
    Status readAll(qint64 maxBytes, QByteArray *out)
    {
        out->clear();
        if (m_fd < 0)
            return Status::Failed;
        if (m_size > maxBytes)
            return Status::TooLarge;
        constexpr qint64 chunk = 64 * 1024;
        QByteArray data;
        qint64 used = 0;
        for (;;) {
            // Files of /proc and similar report 0 and still have bytes: read to the end.
            // One byte past the limit tells a file that grew too large from a full one.
            const qint64 room = qMin(qMax(m_size - used, chunk), maxBytes + 1 - used);
            data.resize(static_cast<decltype(data.size())>(used + room));
            const ssize_t got = ::read(m_fd, data.data() + used, static_cast<size_t>(room));
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                m_error = errno;
                return Status::Failed;
            }
            if (got == 0)
                break;
            used += got;
            if (used > maxBytes)
                return Status::TooLarge;
        }
        data.resize(static_cast<decltype(data.size())>(used));
        *out = data;
        return Status::Ok;
    }

    // Hands the descriptor over (to fdopen, say); the caller closes it.
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    int fd() const { return m_fd; }
    qint64 size() const { return m_size; }
    // errno of the failure; EISDIR for a directory, 0 for other non-regular files.
    int error() const { return m_error; }

private:
    int m_fd = -1;
    qint64 m_size = 0;
    int m_error = 0;
};

} // namespace SafeFile

#endif
