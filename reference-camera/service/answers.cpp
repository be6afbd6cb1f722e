// SPDX-License-Identifier: MIT
// Answering a request: the capture started, its file put in place, the reply sent.
#include "cameraservice.h"

#include "captureoutput.h"
#include "capturewindow.h"
#include "console.h"
#include "dbusformat.h"
#include "kivaction_names_p.h"
#include "requestvalues.h"
#include "targetaccess.h"
#include "targetfile.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <unistd.h>

namespace refcam {

void CameraService::answer(
    const CaptureRequest &request, QDBusConnection connection, const Take &take)
{
    if (!m_options.errorName.isEmpty()) {
        const QString text = QStringLiteral("reference-camera was told to fail (--error %1)")
                                 .arg(m_options.errorName);
        sendError(request.message, connection, m_options.errorName, text);
        if (m_options.exitAfterOne)
            quitOnceFlushed(connection);
        return;
    }
    const SettingsUsed used = settingsUsed(request.video, request.hasPhotoResolution,
        request.photoResolution, request.hasVideoQuality, request.videoQuality);
    // Not an error: the capture goes on with what this camera has.
    for (const QString &note : used.notes)
        printOut(programPrefix() + note);
    CaptureRequest replacing = request;
    replacing.replaced = used.replaced;
    QString path;
    if (!take.recordedFile.isEmpty()) {
        answerRecordedClip(replacing, connection, take);
        return;
    }
    QString failure;
    if (startCapture(replacing, connection, take, &path, &failure))
        return; // answered when the capture is done
    const bool ok = !path.isEmpty() && !m_options.writeFile;
    answerResults(request, connection, capturedResults(m_options, replacing, ok, path, failure));
}

// The clip recorded in the window, from the camera's own folder to the caller's target.
void CameraService::answerRecordedClip(
    const CaptureRequest &request, QDBusConnection connection, const Take &take)
{
    QString path;
    // The caller's rights decide here too: through its descriptor, or into a folder
    // it may write (targetaccess.h).
    const bool descriptor = request.fileDescriptor.isValid();
    CheckedFolder folder;
    QString problem;
    if (descriptor || !request.fileLocation.isEmpty()) {
        problem = targetProblem(request, &folder, false);
        path = descriptor ? request.fileLocation : request.targetPath;
    } else {
        path = uniqueCaptureName(outputFolder(m_options, true), QStringLiteral(".mp4"));
    }
    if (!problem.isEmpty())
        printErr(programPrefix() + problem + QStringLiteral("; answering FAILED"));
    // Through the one writer: the caller's descriptor, or the checked folder.
    bool moved = false;
    qint64 size = 0;
    const bool checked = problem.isEmpty(); // a target problem is logged already
    if (checked) {
        std::unique_ptr<CaptureOutput> out = descriptor
            ? CaptureOutput::toFd(request.fileDescriptor.fileDescriptor())
            : folder.fd() >= 0 ? CaptureOutput::toFolder(folder.fd(), folder.name(), path)
                               : CaptureOutput::toPath(path);
        moved = out->open(&problem) && out->copyFrom(take.recordedFile, &problem)
            && out->commit(&size, &problem);
        if (!moved)
            out->discard();
    }
    ::unlink(QFile::encodeName(take.recordedFile).constData());
    const QString failure = problem;
    if (moved)
        printOut(programPrefix()
            + QStringLiteral("wrote %1 (recorded in the window, %2 ms, %3 bytes)")
                  .arg(escaped(path))
                  .arg(take.recordMs)
                  .arg(size));
    else if (checked) // the host is told in plain words; the detail is only here
        printErr(programPrefix()
            + QStringLiteral("cannot write %1: %2; answering FAILED").arg(quoted(path), failure));
    const VideoEnd video { take.recordMs,
        take.endedBy.isEmpty() ? KivAction::Value::user() : take.endedBy };
    answerResults(request, connection,
        capturedResults(m_options, request, moved, path,
            QStringLiteral("cannot write %1: %2").arg(quoted(path), failure), moved && descriptor,
            video));
}

void CameraService::captureFinished(int number, const QString &path, const CaptureResult &result)
{
    if (!m_pending.contains(number))
        return;
    const Pending pending = take(number);
    if (!result.ok && !result.errorName.isEmpty()) {
        printErr(programPrefix()
            + QStringLiteral("request %1: capture failed: %2").arg(number).arg(result.message));
        sendError(pending.request.message, pending.connection, result.errorName, result.message);
        if (m_options.exitAfterOne)
            quitOnceFlushed(pending.connection);
        return;
    }
    const bool descriptor = pending.request.fileDescriptor.isValid();
    if (result.ok)
        printOut(programPrefix()
            + QStringLiteral("wrote %1 (%2, %3 bytes)%4")
                  .arg(escaped(path), result.description)
                  .arg(result.bytes)
                  .arg(descriptor ? QStringLiteral(" through the caller's file descriptor")
                                  : QString()));
    else
        printErr(programPrefix()
            + QStringLiteral("cannot write %1: %2; answering FAILED")
                  .arg(quoted(path), result.message));
    answerResults(pending.request, pending.connection,
        capturedResults(m_options, pending.request, result.ok, path,
            QStringLiteral("cannot write %1: %2").arg(quoted(path), result.message),
            result.ok && descriptor, { result.durationMs, result.endedBy }));
}

void CameraService::answerResults(const CaptureRequest &request, QDBusConnection connection,
    const QMap<QString, QString> &results, const QString &what)
{
    send(request.message, request.message.createReply(QVariant::fromValue(results)), connection);
    QString line = programPrefix() + what + QStringLiteral("answered");
    for (auto it = results.cbegin(); it != results.cend(); ++it)
        line += QStringLiteral(" %1=%2").arg(it.key(), quoted(it.value()));
    if (results.isEmpty())
        line += QStringLiteral(" with no results");
    if (!request.message.isReplyRequired())
        line += QStringLiteral(" (not sent: the caller wants no reply)");
    printOut(line);
    if (m_options.exitAfterOne)
        quitOnceFlushed(connection);
}

// Starts the capture and holds the request until it is done; false when it was not
// started (path then names what a --no-file capture would have written, or is empty).
bool CameraService::startCapture(const CaptureRequest &request, QDBusConnection connection,
    const Take &take, QString *path, QString *failure)
{
    CaptureSettings settings;
    settings.source = m_options.source;
    settings.video = request.video;
    settings.videoQuality = request.replaced.contains(KivAction::Key::videoQualityUsed())
        ? KivAction::Value::highest()
        : request.videoQuality;
    settings.sizeLimit = request.sizeLimit;
    settings.recordMs = take.recordMs > 0 ? take.recordMs
        : request.durationLimitMs > 0     ? request.durationLimitMs
                                          : m_options.recordMs;
    // --orientation wins; else the photo is turned as the screen was held.
    settings.orientationDegrees = m_options.orientationGiven || take.orientationDegrees < 0
        ? m_options.orientation
        : take.orientationDegrees;
    settings.encoder = m_options.encoder;
    settings.frame = take.frame;
    settings.photoSize
        = photoSizeFor(!request.video && request.hasPhotoResolution, request.photoResolution);

    const bool descriptor = request.fileDescriptor.isValid();
    auto folder = std::make_shared<CheckedFolder>();
    if (descriptor || !request.fileLocation.isEmpty()) {
        // The same check the window makes before anyone takes a picture.
        *failure = targetProblem(request, folder.get(), false);
        if (!failure->isEmpty()) {
            printErr(programPrefix() + *failure + QStringLiteral("; answering FAILED"));
            path->clear();
            return false;
        }
        // With a descriptor the answer names the location as given: the host renames its
        // file onto what it asked for.
        *path = descriptor ? request.fileLocation : request.targetPath;
        settings.format = formatForPath(request.video, request.targetPath);
        if (descriptor && m_options.writeFile)
            printOut(programPrefix()
                + QStringLiteral("request %1: writing through the caller's file descriptor, "
                                 "the path %2 is not opened")
                      .arg(request.number)
                      .arg(escaped(request.fileLocation)));
    } else {
        settings.format = request.video ? QStringLiteral("mp4") : QStringLiteral("jpeg");
        const QString dir = outputFolder(m_options, request.video);
        if (m_options.writeFile && !QDir().mkpath(dir)) {
            *failure = QStringLiteral("cannot create the output folder %1").arg(quoted(dir));
            printErr(programPrefix() + *failure);
            path->clear();
            return false;
        }
        *path = uniqueCaptureName(dir, suffixForFormat(settings.format));
    }
    if (!m_options.writeFile) {
        printOut(
            programPrefix() + QStringLiteral("not writing %1 (--no-file)").arg(escaped(*path)));
        return false;
    }

    Pending pending;
    pending.request = request;
    pending.connection = connection;
    // A path-only capture is written through the checked folder.
    if (descriptor)
        pending.job = CaptureJob::intoFd(settings, request.fileDescriptor.fileDescriptor(), this);
    else if (folder->fd() >= 0)
        pending.job = CaptureJob::intoFolder(settings, folder->fd(), folder->name(), *path, this);
    else
        pending.job = CaptureJob::intoPath(settings, *path, this);
    pending.folder = folder;
    const int number = request.number;
    const QString target = *path;
    connect(pending.job, &CaptureJob::finished, this,
        [this, number, target](
            const CaptureResult &result) { captureFinished(number, target, result); });
    CaptureJob *job = pending.job;
    hold(pending);
    if (!m_pending.contains(number))
        return true; // the caller is already gone
    job->start();
    if (const int ahead = job->capturesAhead())
        printOut(programPrefix()
            + QStringLiteral("request %1: waits its turn for the camera (%2 capture(s) before it)")
                  .arg(number)
                  .arg(ahead));
    return true;
}

} // namespace refcam
