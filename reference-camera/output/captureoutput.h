// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace refcam {

// Where a capture's bytes go: a path written through TargetFile, or a caller's descriptor.
class CaptureOutput
{
public:
    // Writes path through a hidden file in its folder, renamed into place by commit().
    static std::unique_ptr<CaptureOutput> toPath(const QString &path);
    // Writes name in the folder open at dirFd (a checked folder), as toPath() does.
    static std::unique_ptr<CaptureOutput> toFolder(
        int dirFd, const QString &name, const QString &shownPath);
    // Rewrites fd, a file the caller keeps open, from offset 0. fd is duplicated, not closed.
    static std::unique_ptr<CaptureOutput> toFd(int fd);

    virtual ~CaptureOutput() = default;
    virtual bool open(QString *error) = 0;
    virtual int fd() const = 0;
    bool seekable() const;
    // What the file would hold if committed now, or -1.
    qint64 pendingSize() const;
    bool write(const QByteArray &data, QString *error);
    // Appends the whole of the file at path, in the kernel (no copy through memory).
    bool copyFrom(const QString &path, QString *error);
    // Keeps what was written; size is what the file holds then.
    virtual bool commit(qint64 *size, QString *error) = 0;
    // Drops what was written: a path keeps what it held before, a descriptor is emptied.
    virtual void discard() = 0;
    virtual QString name() const = 0;
};

} // namespace refcam
