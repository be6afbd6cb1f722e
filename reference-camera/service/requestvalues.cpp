// SPDX-License-Identifier: MIT
// A request's values as the service reads them, and the checks and answers built from them.
#include "requestvalues.h"

#include "console.h"
#include "dbusformat.h"
#include "hostreason.h"
#include "kivaction_names_p.h"
#include "targetaccess.h"
#include "targetfile.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include <cmath>
#include <limits>

namespace refcam {

namespace {

// Accepts any integral D-Bus type, doubles and numeric strings: callers are not all careful.
bool toInteger(const QVariant &value, qint64 *result)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
        *result = value.toLongLong();
        return true;
    case QMetaType::ULongLong:
        *result = qint64(
            qMin<quint64>(value.toULongLong(), quint64(std::numeric_limits<qint64>::max())));
        return true;
    case QMetaType::Double: {
        const double d = value.toDouble();
        if (!std::isfinite(d))
            return false;
        const double lo = double(std::numeric_limits<qint64>::min());
        const double hi = double(std::numeric_limits<qint64>::max());
        *result = d <= lo ? std::numeric_limits<qint64>::min()
                          : (d >= hi ? std::numeric_limits<qint64>::max() : qint64(d));
        return true;
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint64 parsed = value.toString().trimmed().toLongLong(&ok);
        if (ok)
            *result = parsed;
        return ok;
    }
    default:
        return false;
    }
}

bool isString(const QVariant &value)
{
    return value.userType() == QMetaType::QString;
}

void warnType(const QString &key, const QVariant &value, const QString &fallback)
{
    printErr(programPrefix()
        + QStringLiteral("%1 has unexpected type (%2) = %3, %4")
              .arg(key, dbusSignature(value), formatDBusValue(value), fallback));
}

// Unknown keys are only logged; later duplicates win, like inserting into a map.
void applyValue(CaptureRequest &request, const QString &key, const QVariant &value)
{
    if (key == KivAction::Key::cameraType()) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("taking a photo"));
        request.video = isString(value) && value.toString() == KivAction::Value::video();
    } else if (key == KivAction::Key::videoSizeLimitation()) {
        qint64 limit = 0;
        if (!toInteger(value, &limit)) {
            warnType(key, value, QStringLiteral("using no limit"));
            limit = 0;
        }
        request.sizeLimit = limit;
    } else if (key == KivAction::Key::videoDurationLimit()) {
        qint64 limit = 0;
        if (!toInteger(value, &limit)) {
            warnType(key, value, QStringLiteral("letting the camera decide"));
            limit = 0;
        }
        request.durationLimitMs
            = int(qBound(qint64(0), limit, qint64(CameraService::maxVideoDurationMs)));
    } else if (key == KivAction::Key::fileLocation()) {
        if (!isString(value))
            warnType(key, value, QStringLiteral("choosing a file name"));
        request.fileLocation = isString(value) ? value.toString() : QString();
    } else if (key == KivAction::Key::fileDescriptor()) {
        const bool isDescriptor = value.userType() == qMetaTypeId<QDBusUnixFileDescriptor>();
        if (!isDescriptor)
            warnType(key, value, QStringLiteral("writing the path"));
        request.fileDescriptor
            = isDescriptor ? value.value<QDBusUnixFileDescriptor>() : QDBusUnixFileDescriptor();
    } else if (key == KivAction::Key::photoResolution()) {
        request.hasPhotoResolution = true;
        request.photoResolution = isString(value) ? value.toString() : formatDBusValue(value);
    } else if (key == KivAction::Key::hasPostCapturedScreen()) {
        request.postCapturedScreen = isString(value) ? value.toString() : QString();
    } else if (key == KivAction::Key::launchId()) {
        const int type = value.userType();
        request.hasLaunchId = type == QMetaType::ULongLong || type == QMetaType::UInt;
        if (!request.hasLaunchId)
            warnType(key, value, QStringLiteral("ending this request only with Cancel"));
        request.launchId = request.hasLaunchId ? value.toULongLong() : 0;
    } else if (key == KivAction::Key::videoQuality()) {
        request.hasVideoQuality = true;
        if (!isString(value))
            warnType(key, value, QStringLiteral("using HIGHEST"));
        request.videoQuality = isString(value) ? value.toString() : QString();
    }
}

} // namespace

void readValues(CaptureRequest &request, const WireValues &values)
{
    for (const auto &entry : values.entries) {
        const QString shown = QStringLiteral("%1 (%2) = %3")
                                  .arg(shownKey(entry.first), dbusSignature(entry.second),
                                      formatDBusValue(entry.second));
        printOut(QStringLiteral("  ") + shown);
        request.shownValues << shown;
    }
    if (values.entries.isEmpty())
        printOut(QStringLiteral("  (no values)"));
    // Decoded after the listing so type warnings do not split it.
    for (const auto &entry : values.entries)
        applyValue(request, entry.first, entry.second);
}

QString uniqueCaptureName(const QString &dir, const QString &suffix)
{
    const QString base = QStringLiteral("capture-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QString path = QDir(dir).filePath(base + suffix);
    for (int counter = 2; QFileInfo::exists(path); ++counter)
        path = QDir(dir).filePath(QStringLiteral("%1-%2%3").arg(base).arg(counter).arg(suffix));
    return path;
}

QString outputFolder(const Options &options, bool video)
{
    if (!options.outputDir.isEmpty())
        return options.outputDir;
    const QString standard = QStandardPaths::writableLocation(
        video ? QStandardPaths::MoviesLocation : QStandardPaths::PicturesLocation);
    return standard.isEmpty() ? QDir::tempPath() : standard;
}

// A file: URL names the same file; anything else is taken as a plain path.
QString localPath(const QString &location)
{
    if (location.startsWith(QLatin1String("file:"))) {
        const QUrl url(location);
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return location;
}

QString rejectedByUser()
{
    return QStringLiteral("rejected by the user");
}

// The answer to a capture that was tried: ok, or failed for the reason given.
QMap<QString, QString> capturedResults(const Options &options, const CaptureRequest &request,
    bool ok, const QString &path, QString failure, bool descriptorUsed, const VideoEnd &video)
{
    QMap<QString, QString> results;
    if (options.sendActionReturn) {
        const QString actionReturn = ok ? options.actionReturn : KivAction::Value::failed();
        results.insert(KivAction::Key::actionReturn(), actionReturn);
        // The simulated user's answer gets the words a real camera would give.
        if (ok && actionReturn == KivAction::Value::rejected())
            failure = rejectedByUser();
        else if (ok && actionReturn == KivAction::Value::failed())
            failure = QStringLiteral("reference-camera was told to answer FAILED "
                                     "(--action-return FAILED)");
        else if (ok)
            failure.clear();
        else // the technical detail is in our log; the host gets words for its user
            failure = hostReason(path.isEmpty() ? request.targetPath : path, failure,
                request.fileDescriptor.isValid());
        if (!failure.isEmpty())
            results.insert(KivAction::Key::failureReason(), failure);
    }
    if (ok && options.sendFileLocation && !path.isEmpty())
        results.insert(KivAction::Key::fileLocationReturn(), path);
    if (ok && descriptorUsed)
        results.insert(KivAction::Key::fileDescriptorUsed(), KivAction::Value::yes());
    if (ok && request.video && video.durationMs > 0) {
        results.insert(KivAction::Key::videoDurationMs(), QString::number(video.durationMs));
        if (!video.endedBy.isEmpty())
            results.insert(KivAction::Key::videoEndedBy(), video.endedBy);
    }
    if (ok) {
        for (auto it = request.replaced.cbegin(); it != request.replaced.cend(); ++it)
            results.insert(it.key(), it.value());
    }
    return results;
}

// Why the request's capture cannot be written for its caller, or an empty string. A path
// alone is written only where the caller could write it (targetaccess.h); folder is then
// the checked folder to write through. probe: also try a file there now (the window does,
// before anyone takes a picture; a capture finds out when it writes).
QString targetProblem(const CaptureRequest &request, CheckedFolder *folder, bool probe)
{
    if (request.fileDescriptor.isValid()) {
        const QString problem = descriptorProblem(request.fileDescriptor.fileDescriptor());
        return problem.isEmpty()
            ? QString()
            : QStringLiteral("cannot write through the caller's descriptor: %1").arg(problem);
    }
    if (request.fileLocation.isEmpty())
        return QString();
    const QString &path = request.targetPath;
    // Raw or as %00 in a file: URL, a NUL names another file than the one asked for.
    if (request.fileLocation.contains(QChar(0)) || path.contains(QChar(0)))
        return QStringLiteral("fileLocation %1 contains a NUL character")
            .arg(quoted(request.fileLocation));
    // Relative to what? Our working folder is not the host's.
    if (!QDir::isAbsolutePath(path))
        return QStringLiteral("fileLocation %1 is not an absolute path").arg(quoted(path));
    if (!request.callerUidKnown)
        return QStringLiteral("cannot write %1: the bus did not say which user asks")
            .arg(quoted(path));
    QString problem = pathTargetProblem(path, request.callerUid, OwnPlaces::ofThisCamera(), folder);
    if (!problem.isEmpty())
        return QStringLiteral("refusing to write %1 for user %2: %3; send a file descriptor "
                              "or name a folder that user may write")
            .arg(quoted(path))
            .arg(request.callerUid)
            .arg(problem);
    problem = probe ? describeUnsafeTarget(folder->fd(), folder->name()) : QString();
    return problem.isEmpty() ? QString()
                             : QStringLiteral("cannot write %1: %2").arg(quoted(path), problem);
}

} // namespace refcam
