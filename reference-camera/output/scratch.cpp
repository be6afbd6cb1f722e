// SPDX-License-Identifier: MIT
#include "scratch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace refcam {

namespace {

QString scratchRoot()
{
    // Read directly: QStandardPaths warns on every call where it is unset.
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QDir::isAbsolutePath(runtime))
        runtime = QDir::tempPath();
    return runtime + QStringLiteral("/reference-camera");
}

// Whether a process of that number may still run (EPERM: it runs as someone else).
bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

} // namespace

QString scratchFolder(QString *error)
{
    const QString root = scratchRoot();
    const QString folder
        = root + QLatin1Char('/') + QString::number(QCoreApplication::applicationPid());
    for (const QString &path : { root, folder }) {
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
            *error = QStringLiteral("cannot make %1: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return QString();
        }
    }
    struct stat st = {};
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode)
        || st.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 is not a folder of this user").arg(folder);
        return QString();
    }
    return folder;
}

void removeStaleScratch()
{
    QDir root(scratchRoot());
    const QStringList pids = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool ok = false;
        const qint64 number = pid.toLongLong(&ok);
        if (ok && !processAlive(number))
            QDir(root.filePath(pid)).removeRecursively();
    }
}

void removeScratchFolder()
{
    QDir(scratchRoot() + QLatin1Char('/') + QString::number(QCoreApplication::applicationPid()))
        .removeRecursively();
}

void removeStaleParts(const QString &folder)
{
    static const QRegularExpression part(QStringLiteral("^\\..+\\.(\\d+)-[0-9a-z]+\\.part$"));
    QDir dir(folder);
    const QStringList names
        = dir.entryList({ QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = part.match(name);
        if (!match.hasMatch() || processAlive(match.captured(1).toLongLong()))
            continue;
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        struct stat st = {};
        if (::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            ::unlink(path.constData());
    }
}

} // namespace refcam
