// SPDX-License-Identifier: MIT
#include "settingsused.h"

#include "dbusformat.h"
#include "kivaction_names_p.h"

#include <QRegularExpression>

namespace refcam {

namespace {

// "WxH" whose numbers are beyond what this camera takes: the host asked for more than we
// have, which is "MAX", not a value we failed to read.
bool isTooLarge(const QString &resolution)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*(\\d+)\\s*[xX*]\\s*(\\d+)\\s*$"));
    const QRegularExpressionMatch match = pattern.match(resolution);
    if (!match.hasMatch())
        return false;
    bool wideOk = false;
    bool highOk = false;
    const qlonglong width = match.captured(1).toLongLong(&wideOk);
    const qlonglong height = match.captured(2).toLongLong(&highOk);
    // Digits too many for a number are too large all the same.
    const bool wide = !wideOk || width > maxPhotoSide;
    const bool high = !highOk || height > maxPhotoSide;
    return (wide || high) && (!wideOk || width > 0) && (!highOk || height > 0);
}

} // namespace

SettingsUsed settingsUsed(bool video, bool hasPhotoResolution, const QString &photoResolution,
    bool hasVideoQuality, const QString &videoQuality)
{
    SettingsUsed settings;

    if (!video && hasPhotoResolution) {
        if (parsePhotoResolution(photoResolution).kind == PhotoResolution::NotUnderstood) {
            const QString why = isTooLarge(photoResolution)
                ? QStringLiteral("is larger than this camera takes (at most %1x%1)")
                      .arg(maxPhotoSide)
                : QStringLiteral("not understood");
            settings.replaced.insert(
                KivAction::Key::photoResolutionUsed(), KivAction::Value::max());
            settings.notes << QStringLiteral("photoResolution %1 %2, using MAX")
                                  .arg(quoted(photoResolution), why);
        }
    }

    if (video && hasVideoQuality) {
        const QStringList known = { KivAction::Value::highest(), KivAction::Value::medium(),
            KivAction::Value::lowest() };
        if (!known.contains(videoQuality)) {
            const QString used = KivAction::Value::highest();
            settings.replaced.insert(KivAction::Key::videoQualityUsed(), used);
            settings.notes << QStringLiteral("videoQuality %1 not known (HIGHEST, MEDIUM or "
                                             "LOWEST), using %2")
                                  .arg(quoted(videoQuality), used);
        }
    }
    return settings;
}

} // namespace refcam
