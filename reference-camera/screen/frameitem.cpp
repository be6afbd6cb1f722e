// SPDX-License-Identifier: MIT
#include "frameitem.h"

#include <QQuickWindow>
#include <QSGSimpleRectNode>
#include <QSGSimpleTextureNode>
#include <QSGTexture>

namespace refcam {

namespace {

// Black behind the picture, the picture as the child while there is one: a texture node
// without a texture must not reach the renderer.
class FrameNode : public QSGSimpleRectNode
{
public:
    FrameNode() { setColor(Qt::black); }
    void setPicture(QSGTexture *texture)
    {
        if (picture) {
            picture->setTexture(texture);
            return;
        }
        picture = new QSGSimpleTextureNode;
        picture->setOwnsTexture(true);
        picture->setFiltering(QSGTexture::Linear);
        picture->setTexture(texture);
        appendChildNode(picture);
    }
    void dropPicture()
    {
        if (!picture)
            return;
        removeChildNode(picture);
        delete picture;
        picture = nullptr;
    }
    QSGSimpleTextureNode *picture = nullptr;
};

} // namespace

FrameItem::FrameItem(QQuickItem *parent)
    : QQuickItem(parent)
{
    setFlag(ItemHasContents, true);
}

void FrameItem::setAspect(qreal aspect)
{
    if (qFuzzyCompare(aspect, m_aspect))
        return;
    m_aspect = aspect;
    update();
    Q_EMIT aspectChanged();
    Q_EMIT pictureRectChanged();
}

void FrameItem::setImage(const QImage &image)
{
    if (image.isNull())
        return;
    const bool sizeChanged = image.size() != m_image.size();
    m_image = image;
    m_newImage = true;
    ++m_frames;
    update();
    Q_EMIT imageChanged();
    if (sizeChanged)
        Q_EMIT pictureRectChanged();
}

void FrameItem::clear()
{
    m_image = QImage();
    m_newImage = true;
    update();
    Q_EMIT imageChanged();
}

QRect FrameItem::sourceRect() const
{
    if (m_image.isNull())
        return QRect();
    if (m_aspect <= 0)
        return m_image.rect();
    // The camera's mode may be wider or taller than what was asked: crop as the file is.
    QSizeF crop(m_aspect * 1000, 1000);
    crop.scale(m_image.size(), Qt::KeepAspectRatio);
    QRect from(QPoint(), crop.toSize());
    from.moveCenter(m_image.rect().center());
    return from;
}

QRectF FrameItem::pictureRect() const
{
    QSizeF size;
    if (m_aspect > 0)
        size = QSizeF(m_aspect * 1000, 1000);
    else if (!m_image.isNull())
        size = m_image.size();
    else
        return QRectF(0, 0, width(), height());
    size.scale(width(), height(), Qt::KeepAspectRatio);
    return QRectF(
        (width() - size.width()) / 2, (height() - size.height()) / 2, size.width(), size.height());
}

QSGNode *FrameItem::updatePaintNode(QSGNode *old, UpdatePaintNodeData *)
{
    auto *node = static_cast<FrameNode *>(old);
    if (!node)
        node = new FrameNode;
    node->setRect(boundingRect());
    if (m_image.isNull()) {
        node->dropPicture();
        return node;
    }
    if (m_newImage || !node->picture) {
        m_newImage = false;
        // One upload per frame; the old texture is freed by the node.
        node->setPicture(window()->createTextureFromImage(m_image));
    }
    node->picture->setSourceRect(sourceRect());
    node->picture->setRect(pictureRect());
    return node;
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
void FrameItem::geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickItem::geometryChange(newGeometry, oldGeometry);
#else
void FrameItem::geometryChanged(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickItem::geometryChanged(newGeometry, oldGeometry);
#endif
    if (newGeometry.size() != oldGeometry.size()) {
        update();
        Q_EMIT pictureRectChanged();
    }
}

} // namespace refcam
