// SPDX-License-Identifier: MIT
#pragma once

#include "capture.h"

#include <QMap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace refcam {

// What a capture uses for the settings a request asked for. A setting this camera cannot
// honour is replaced, logged, and named in the answer, so the host learns of it.
struct SettingsUsed
{
    // Answer keys ("photoResolutionUsed", "videoQualityUsed") to the value used instead.
    QMap<QString, QString> replaced;
    // One line for the log per replaced setting.
    QStringList notes;
};

// Only the setting the capture uses counts: a photo's resolution, a video's quality.
// A setting that was not sent is no replacement: the camera's default is what was asked.
SettingsUsed settingsUsed(bool video, bool hasPhotoResolution, const QString &photoResolution,
    bool hasVideoQuality, const QString &videoQuality);

} // namespace refcam
