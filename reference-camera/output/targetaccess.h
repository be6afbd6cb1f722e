// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QList>
#include <QPair>
#include <QString>

#include <sys/types.h>

namespace refcam {

// Where a capture may go, decided for whoever asked and not with the camera's own rights.
//
// Through a descriptor the host opened, the host's rights were checked by the kernel when
// it opened the file: the camera only checks that it is a regular file open for writing.
// A path alone proves nothing, so the camera writes it only where the caller could have:
// see pathTargetProblem().

// Files the camera reads and folders it keeps its configuration and state in, by device
// and inode, looked up now (they may come and go while the camera runs).
class OwnPlaces
{
public:
    static OwnPlaces ofThisCamera();
    void addFolder(const QString &path);
    void addFile(const QString &path);
    // The name of the folder or file with this identity, or an empty string.
    QString folderAt(dev_t dev, ino_t ino) const;
    QString fileAt(dev_t dev, ino_t ino) const;

private:
    struct Place
    {
        dev_t dev;
        ino_t ino;
        QString path;
    };
    QList<Place> m_folders;
    QList<Place> m_files;
};

// An open folder reached without symbolic links, for writing path's file name into.
class CheckedFolder
{
public:
    CheckedFolder() = default;
    CheckedFolder(const CheckedFolder &) = delete;
    CheckedFolder &operator=(const CheckedFolder &) = delete;
    ~CheckedFolder();
    // The folder (an O_PATH descriptor) and the file's name in it: a folder swapped for a
    // link after the check is not followed.
    int fd() const { return m_fd; }
    QString name() const { return m_name; }
    QString path() const { return m_path; }

private:
    friend QString pathTargetProblem(const QString &, uid_t, const OwnPlaces &, CheckedFolder *);
    int m_fd = -1;
    QString m_name;
    QString m_path; // as checked, for messages
};

// Why caller may not have the camera write path (absolute and local), or an empty string.
// Every folder from "/" down is opened without following links; each must be searchable
// and the last one writable by caller's user, groups and the mode bits (ACLs and the
// capabilities of uid 0 are not consulted); none may be one of places' folders, and the
// file may not be one of places' files.
QString pathTargetProblem(
    const QString &path, uid_t caller, const OwnPlaces &places, CheckedFolder *folder);

// Why fd cannot take a capture (not a regular file, not open for writing), or empty.
QString descriptorProblem(int fd);
// Why fd, opened with O_APPEND, cannot take a capture, or empty.
QString appendProblem(int fd);

// A capture written through the caller's descriptor: truncated, written, synced. The path
// is never opened.
class DescriptorTarget
{
public:
    DescriptorTarget() = default;
    DescriptorTarget(const DescriptorTarget &) = delete;
    DescriptorTarget &operator=(const DescriptorTarget &) = delete;

    bool open(int fd);
    QIODevice *device() { return &m_file; }
    bool commit();

    QString errorString() const { return m_error; }
    qint64 size() const { return m_size; }

private:
    QFile m_file;
    QString m_error;
    qint64 m_size = 0;
};

} // namespace refcam
