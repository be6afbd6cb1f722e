// SPDX-License-Identifier: MIT
#include "capture.h"

#include <QRegularExpression>

namespace refcam {

PhotoResolution parsePhotoResolution(const QString &resolution)
{
    PhotoResolution parsed;
    const QString text = resolution.trimmed();
    if (text.compare(QLatin1String("MAX"), Qt::CaseInsensitive) == 0) {
        parsed.kind = PhotoResolution::Max;
        return parsed;
    }
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,9})\\s*[xX*]\\s*(\\d{1,9})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return parsed;
    const int width = match.captured(1).toInt();
    const int height = match.captured(2).toInt();
    if (width < 1 || height < 1 || width > maxPhotoSide || height > maxPhotoSide)
        return parsed;
    parsed.kind = PhotoResolution::Size;
    parsed.size = QSize(width, height);
    return parsed;
}

QSize photoSizeFor(bool asked, const QString &resolution)
{
    return asked ? parsePhotoResolution(resolution).size : QSize();
}

} // namespace refcam
