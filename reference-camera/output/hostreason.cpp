// SPDX-License-Identifier: MIT
#include "hostreason.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <sys/statvfs.h>
#include <unistd.h>

namespace refcam {

namespace {

// The remedy for a write the system refused, and the system's words (in words), or empty.
QString refusedWrite(const QString &technical, QString *words)
{
    static const struct
    {
        int error;
        const char *remedy;
    } refusals[] = {
        { ENOSPC, "make room on the disk or choose another folder" },
        { EDQUOT, "make room within the disk quota or choose another folder" },
        { EFBIG,
            "the system limits how large a file may be; ask for a lower resolution or "
            "quality, or a shorter recording" },
        { EIO, "the disk could not be written; check it or choose another folder" },
    };
    for (const auto &refusal : refusals) {
        const QString said = QString::fromLocal8Bit(std::strerror(refusal.error));
        if (technical.contains(said)) {
            if (words)
                *words = said;
            return QLatin1String(refusal.remedy);
        }
    }
    return QString();
}

// The plain cause, judged from the file system as it is now and from the kind of problem.
QString plainCause(const QString &path, const QString &technical)
{
    // By now the partial file is gone, so the disk need not look full any more.
    QString words;
    const QString remedy = refusedWrite(technical, &words);
    if (!remedy.isEmpty())
        return words + QStringLiteral("; ") + remedy;
    const QFileInfo file(path);
    const QString folder = file.absolutePath();
    const QFileInfo folderInfo(folder);
    if (!folderInfo.exists())
        return QStringLiteral("the folder %1 does not exist").arg(folder);
    if (!folderInfo.isDir())
        return QStringLiteral("%1 is not a folder").arg(folder);
    // The camera's own files, links and '..' are refused whoever asks.
    for (const char *refused : { "own folder", "own file", "symbolic link", "'..'" }) {
        if (technical.contains(QLatin1String(refused)))
            return QStringLiteral("the camera does not save there; choose a file in a folder "
                                  "of your own");
    }
    if (file.exists() && !file.isFile())
        return QStringLiteral("%1 is not a file").arg(path);
    struct statvfs disk = {};
    const QByteArray name = QFile::encodeName(folder);
    const bool known = ::statvfs(name.constData(), &disk) == 0;
    if (known && (disk.f_flag & ST_RDONLY))
        return QStringLiteral("the folder %1 is on a read-only disk").arg(folder);
    if (technical.contains(QLatin1String("may not")) || ::access(name.constData(), W_OK) != 0)
        return QStringLiteral("there is no permission to write in the folder %1").arg(folder);
    if (known && disk.f_bavail == 0)
        return QStringLiteral("the disk is full");
    return QStringLiteral("the camera could not write it");
}

} // namespace

QString writeRemedy(const QString &technical)
{
    return refusedWrite(technical, nullptr);
}

QString hostReason(const QString &path, const QString &technical, bool throughDescriptor)
{
    if (throughDescriptor || path.isEmpty() || technical.startsWith(QLatin1String("fileLocation "))
        || !path.startsWith(QLatin1Char('/'))) {
        const QString remedy = writeRemedy(technical);
        return remedy.isEmpty() || technical.contains(remedy)
            ? technical
            : technical + QStringLiteral("; ") + remedy;
    }
    return QStringLiteral("cannot save %1: %2").arg(path, plainCause(path, technical));
}

} // namespace refcam
