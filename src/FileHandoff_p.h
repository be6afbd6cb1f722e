// SPDX-License-Identifier: MIT
#ifndef CAMERAUISERVICE_FILEHANDOFF_P_H
#define CAMERAUISERVICE_FILEHANDOFF_P_H

#include <QByteArray>
#include <QString>

// The host's side of a capture through a descriptor. The file is created here, in the
// host's process and with the host's rights, as a hidden new file beside the target; the
// camera only ever gets the open descriptor. commit() renames it onto the target, so the
// target changes at once and only if the host could have written it.
class FileHandoff
{
public:
    FileHandoff() = default;
    FileHandoff(const FileHandoff &) = delete;
    FileHandoff &operator=(const FileHandoff &) = delete;
    ~FileHandoff() { discard(); }

    // location: an absolute path or a file: URL. False with why() when no file can be
    // made there; nothing is left behind then.
    bool create(const QString &location);
    // The new file, open for writing. Kept open until discard() or the object's end: an
    // unnamed file is named through it, and after commit() it still is the capture,
    // wherever the target's folder has been moved or whatever now stands at its path.
    int fd() const { return m_fd; }
    // Moves the file onto the target. False with why(); the file is removed then and the
    // target is as it was.
    bool commit();
    // Whether fd is open on the file of fd().
    bool isFile(int fd) const;
    // Removes the file (before commit()) and closes it; the target is untouched.
    void discard();

    // Whether anything was written into the file (it is not empty).
    bool written() const;

    // The local path a location names (a file: URL resolved).
    static QString localPath(const QString &location);

    QString target() const { return m_target; }
    QString why() const { return m_why; }

private:
    void closeFd();
    void closeDir();
    bool fail(const QString &why);
    bool createNamed();

    QString m_target; // local path
    QByteArray m_name;
    QByteArray m_tempName; // empty while the file has no name
    int m_dirFd = -1;
    int m_fd = -1;
    QString m_why;
};

#endif
