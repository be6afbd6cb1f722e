// SPDX-License-Identifier: MIT
#pragma once

#include <QSize>
#include <QString>

namespace refcam {

constexpr int maxPhotoSide = 8192;

// A request's photoResolution: "MAX" (the source's largest mode) is a value of its own,
// "WxH" a size; anything else is not understood and the caller warns and uses MAX.
struct PhotoResolution
{
    enum Kind
    {
        NotUnderstood,
        Max,
        Size,
    };
    Kind kind = NotUnderstood;
    QSize size; // for Size
};
PhotoResolution parsePhotoResolution(const QString &resolution);

// The size a photo is taken at: invalid (the source's largest mode) for MAX, for a value
// not understood, and when none was asked for.
QSize photoSizeFor(bool asked, const QString &resolution);

// The window's clip format; the window no longer reads it (the recording's size comes from
// the quality table in encoding.h).
struct VideoFormat
{
    int width = 320;
    int height = 240;
    int fps = 30;
};

} // namespace refcam
