// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QString>

namespace refcam {

// The file a capture goes to, written safely whatever the caller named: the data goes to a
// new file beside the target, nameless (O_TMPFILE) where the file system allows, and is put
// in place by commit(), so nobody sees a partial file and a failed or killed capture leaves
// none. An existing regular file is replaced; a symbolic
// link, FIFO, device, socket or folder at the target is refused, never opened or followed.
class TargetFile
{
public:
    TargetFile() = default;
    ~TargetFile();
    TargetFile(const TargetFile &) = delete;
    TargetFile &operator=(const TargetFile &) = delete;

    // path must be absolute. False with errorString() set when it cannot be written.
    bool open(const QString &path);
    // name in the folder open at dirFd (duplicated; O_PATH will do): no path is looked up
    // again. shownPath names the target in messages.
    bool openIn(int dirFd, const QString &name, const QString &shownPath);
    QIODevice *device() { return &m_file; }
    // For writers that take a descriptor; nothing is buffered in device() then.
    int handle() const { return m_file.handle(); }
    // Renames the finished file into place; size() is then what reached the disk.
    bool commit();
    // Drops what was written; the target stays as it was.
    void discard();

    QString errorString() const { return m_error; }
    // What the system said about a failed write to device(), else fallback.
    QString writeError(const QString &fallback);
    qint64 size() const { return m_size; }

private:
    bool openInFolder(const QString &folder);
    bool checkTarget();
    int openNamedTemp();
    bool nameAnonymous();
    bool fail(const QString &error);

    QString m_path; // for messages
    QByteArray m_name;
    QByteArray m_tempName;
    int m_dirFd = -1;
    QFile m_file;
    QString m_error;
    qint64 m_size = 0;
    bool m_anonymous = false; // O_TMPFILE: no name until commit()
};

// Why a path (or name in the folder open at dirFd) cannot be a capture's target, or an
// empty string when it can be.
QString describeUnsafeTarget(const QString &path);
QString describeUnsafeTarget(int dirFd, const QString &name);

} // namespace refcam
