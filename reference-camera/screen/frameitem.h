// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QQuickItem>

namespace refcam {

// A picture in Qt Quick: the camera's newest frame, the photo under review or the clip being
// played. Cropped to the asked aspect as the file will be, then letterboxed, never stretched.
// The image is handed to the scene graph as it is: a frame wrapping the camera's buffer is
// uploaded without another copy on our side.
class FrameItem : public QQuickItem
{
    Q_OBJECT
    // Width / height of the picture the file will have; 0: the image's own.
    Q_PROPERTY(qreal aspect READ aspect WRITE setAspect NOTIFY aspectChanged)
    Q_PROPERTY(bool hasImage READ hasImage NOTIFY imageChanged)
    Q_PROPERTY(int frames READ frames NOTIFY imageChanged)
    // Where the picture lands inside the item, for overlays and zoom.
    Q_PROPERTY(QRectF pictureRect READ pictureRect NOTIFY pictureRectChanged)
public:
    explicit FrameItem(QQuickItem *parent = nullptr);

    qreal aspect() const { return m_aspect; }
    void setAspect(qreal aspect);
    bool hasImage() const { return !m_image.isNull(); }
    int frames() const { return m_frames; }
    QRectF pictureRect() const;

    void setImage(const QImage &image);
    QImage image() const { return m_image; }
    void clear();

Q_SIGNALS:
    void aspectChanged();
    void imageChanged();
    void pictureRectChanged();

protected:
    QSGNode *updatePaintNode(QSGNode *old, UpdatePaintNodeData *) override;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    void geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry) override;
#else
    void geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry) override;
#endif

private:
    QRect sourceRect() const;

    QImage m_image;
    qreal m_aspect = 0;
    int m_frames = 0;
    bool m_newImage = false;
};

} // namespace refcam
