// SPDX-License-Identifier: MIT
#pragma once

#include "cameraservice.h"

#include <QMap>
#include <QString>

namespace refcam {

// Fills request from Invoke's values; unknown keys and wrong types are logged and skipped.
void readValues(CaptureRequest &request, const WireValues &values);
// A file: URL names the same file; anything else is taken as a plain path.
QString localPath(const QString &location);
// Why the request's capture cannot be written for its caller, or an empty string. A path
// alone is written only where the caller could write it (targetaccess.h); folder is then
// the checked folder to write through. probe: also try a file there now (the window does,
// before anyone takes a picture; a capture finds out when it writes).
QString targetProblem(const CaptureRequest &request, CheckedFolder *folder, bool probe);

QString uniqueCaptureName(const QString &dir, const QString &suffix);
QString outputFolder(const Options &options, bool video);
QString rejectedByUser();

// How long a video is and what ended it, for the answer.
struct VideoEnd
{
    qint64 durationMs = 0;
    QString endedBy;
};

// The answer to a capture that was tried: ok, or failed for the reason given. A failure's
// reason is put in words a host can show; the technical one belongs in the log.
QMap<QString, QString> capturedResults(const Options &options, const CaptureRequest &request,
    bool ok, const QString &path, QString failure, bool descriptorUsed = false,
    const VideoEnd &video = {});

} // namespace refcam
