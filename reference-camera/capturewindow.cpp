// SPDX-License-Identifier: MIT
#include "capturewindow.h"

#include <QCloseEvent>
#include <QFont>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace refcam {

namespace {

// Without a size limit a clip stops after a minute: about 200 MB at HIGHEST.
constexpr int maxClipSeconds = 60;

QSize g_defaultSize(900, 600);

QSize pictureSize(const WindowSettings &settings)
{
    return settings.video ? QSize(settings.format.width, settings.format.height)
                          : settings.photoSize;
}

QString clock(qint64 ms)
{
    return QStringLiteral("%1:%2.%3")
        .arg(ms / 60000, 2, 10, QLatin1Char('0'))
        .arg((ms / 1000) % 60, 2, 10, QLatin1Char('0'))
        .arg((ms / 100) % 10);
}

QPushButton *button(const QString &text, const char *name, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    // The window owns the keyboard: Space must never press a focused Cancel.
    b->setFocusPolicy(Qt::NoFocus);
    b->setMinimumHeight(36);
    return b;
}

} // namespace

Viewfinder::Viewfinder(const WindowSettings &settings, QWidget *parent)
    : QWidget(parent)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("viewfinder"));
    setMinimumSize(240, 180);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    const int fps = settings.video ? qMax(1, settings.format.fps) : 30;
    m_timer.setInterval(1000 / fps);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_recordedFrame < 0)
            ++m_phase;
        update();
    });
    m_timer.start();
}

void Viewfinder::showRecordedFrame(int index, const QString &overlay)
{
    m_recordedFrame = index;
    m_overlay = overlay;
    update();
}

void Viewfinder::runFree()
{
    m_recordedFrame = -1;
    m_overlay.clear();
    update();
}

QRect Viewfinder::pictureRect() const
{
    QSize size = pictureSize(m_settings);
    size.scale(rect().size(), Qt::KeepAspectRatio);
    QRect target(QPoint(), size);
    target.moveCenter(rect().center());
    return target;
}

void Viewfinder::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const QRect target = pictureRect();
    if (target.isEmpty())
        return;
    // Drawn at the size shown: the pattern scales, so this is what the file will hold.
    if (m_settings.video) {
        const int index = m_recordedFrame >= 0 ? m_recordedFrame : m_phase;
        painter.drawImage(target, videoFrame(m_settings.format, index));
    } else {
        painter.drawImage(target, testPattern(target.size(), m_phase));
    }
    const QSize size = pictureSize(m_settings);
    const QString corner = QStringLiteral("%1x%2").arg(size.width()).arg(size.height())
        + (m_settings.video ? QStringLiteral(" @ %1 fps").arg(m_settings.format.fps) : QString());
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setBold(true);
    painter.setFont(font);
    const QRect textRect = target.adjusted(10, 8, -10, -8);
    painter.fillRect(QRect(textRect.bottomLeft() - QPoint(4, 22),
                         QSize(painter.fontMetrics().horizontalAdvance(corner) + 8, 26)),
        QColor(0, 0, 0, 160));
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignBottom, corner);
    if (!m_overlay.isEmpty()) {
        painter.setPen(QColor(255, 60, 60));
        painter.fillRect(QRect(textRect.topLeft() - QPoint(4, 2),
                             QSize(painter.fontMetrics().horizontalAdvance(m_overlay) + 8, 26)),
            QColor(0, 0, 0, 160));
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignTop, m_overlay);
    }
}

void CaptureWindow::setDefaultSize(const QSize &size)
{
    g_defaultSize = size;
}

CaptureWindow::CaptureWindow(const WindowSettings &settings, QWidget *parent)
    : QWidget(parent)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("captureWindow"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFocusPolicy(Qt::StrongFocus);
    setWindowTitle(QStringLiteral("Reference camera: %1 for %2 (request %3)")
                       .arg(settings.video ? QStringLiteral("video") : QStringLiteral("photo"),
                           settings.caller)
                       .arg(settings.number));

    m_viewfinder = new Viewfinder(settings, this);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_shutter = button(
        settings.video ? QStringLiteral("Record") : QStringLiteral("Shutter"), "shutter", this);
    QPushButton *cancel = button(QStringLiteral("Cancel"), "cancel", this);
    connect(m_shutter, &QPushButton::clicked, this, &CaptureWindow::shutter);
    connect(cancel, &QPushButton::clicked, this, &CaptureWindow::reject);

    auto *shootButtons = new QHBoxLayout;
    shootButtons->addWidget(m_status, 1);
    shootButtons->addWidget(cancel);
    shootButtons->addWidget(m_shutter);
    auto *shootPage = new QWidget(this);
    auto *shootLayout = new QVBoxLayout(shootPage);
    shootLayout->setContentsMargins(0, 0, 0, 0);
    shootLayout->addWidget(m_viewfinder, 1);
    shootLayout->addLayout(shootButtons);

    m_review = new QLabel(this);
    m_review->setObjectName(QStringLiteral("review"));
    m_review->setAlignment(Qt::AlignCenter);
    m_review->setMinimumSize(240, 180);
    m_review->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_review->setStyleSheet(QStringLiteral("background: black"));
    QPushButton *acceptButton = button(QStringLiteral("Accept"), "accept", this);
    QPushButton *retakeButton = button(QStringLiteral("Retake"), "retake", this);
    QPushButton *rejectButton = button(QStringLiteral("Reject"), "reject", this);
    connect(acceptButton, &QPushButton::clicked, this, &CaptureWindow::accept);
    connect(retakeButton, &QPushButton::clicked, this, &CaptureWindow::retake);
    connect(rejectButton, &QPushButton::clicked, this, &CaptureWindow::reject);
    auto *reviewButtons = new QHBoxLayout;
    auto *question = new QLabel(QStringLiteral("Keep this %1?")
                                    .arg(settings.video ? QStringLiteral("clip (first frame shown)")
                                                        : QStringLiteral("photo")),
        this);
    reviewButtons->addWidget(question, 1);
    reviewButtons->addWidget(rejectButton);
    reviewButtons->addWidget(retakeButton);
    reviewButtons->addWidget(acceptButton);
    auto *reviewPage = new QWidget(this);
    auto *reviewLayout = new QVBoxLayout(reviewPage);
    reviewLayout->setContentsMargins(0, 0, 0, 0);
    reviewLayout->addWidget(m_review, 1);
    reviewLayout->addLayout(reviewButtons);

    m_pages = new QStackedWidget(this);
    m_pages->addWidget(shootPage);
    m_pages->addWidget(reviewPage);

    auto *values = new QLabel(this);
    values->setObjectName(QStringLiteral("settings"));
    values->setTextFormat(Qt::PlainText);
    values->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    values->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    values->setWordWrap(true);
    values->setFixedWidth(260);
    QStringList lines { QStringLiteral("Request %1").arg(settings.number),
        QStringLiteral("from %1").arg(settings.caller), QString() };
    lines += settings.values.isEmpty() ? QStringList { QStringLiteral("(no values)") }
                                       : settings.values;
    lines << QString()
          << (settings.review ? QStringLiteral("Review screen: yes")
                              : QStringLiteral("Review screen: no"));
    if (settings.video)
        lines << (settings.sizeLimit > 0
                ? QStringLiteral("Size limit: %1 bytes").arg(settings.sizeLimit)
                : QStringLiteral("Size limit: none (%1 s at most)").arg(maxClipSeconds));
    values->setText(lines.join(QLatin1Char('\n')));

    auto *layout = new QHBoxLayout(this);
    layout->addWidget(m_pages, 1);
    layout->addWidget(values);

    m_recordTick.setInterval(100);
    connect(&m_recordTick, &QTimer::timeout, this, &CaptureWindow::updateRecording);
    m_status->setText(settings.video
            ? QStringLiteral("Space or Enter: record / stop.  Esc: cancel.")
            : QStringLiteral("Space or Enter: take the photo.  Esc: cancel."));
    if (settings.video && maxFrames() == 0)
        m_status->setText(QStringLiteral("The size limit leaves no room for a frame."));
    resize(g_defaultSize);
    setFocus();
}

bool CaptureWindow::isReviewing() const
{
    return m_pages->currentIndex() == 1;
}

int CaptureWindow::maxFrames() const
{
    const VideoFormat &format = m_settings.format;
    if (m_settings.sizeLimit <= 0)
        return maxClipSeconds * format.fps;
    const qint64 room = m_settings.sizeLimit - y4mHeader(format).size();
    return room <= 0 ? 0
                     : int(qMin<qint64>(maxClipSeconds * format.fps, room / y4mFrameBytes(format)));
}

int CaptureWindow::recordedFrames() const
{
    const qint64 frames = m_elapsed.elapsed() * m_settings.format.fps / 1000;
    return int(qMin<qint64>(frames, maxFrames()));
}

void CaptureWindow::updateRecording()
{
    const int frames = recordedFrames();
    const qint64 bytes
        = y4mHeader(m_settings.format).size() + frames * y4mFrameBytes(m_settings.format);
    QString text = QStringLiteral("REC %1  %2 frames, %3 bytes")
                       .arg(clock(m_elapsed.elapsed()))
                       .arg(frames)
                       .arg(bytes);
    if (m_settings.sizeLimit > 0)
        text += QStringLiteral(" of %1").arg(m_settings.sizeLimit);
    m_status->setText(text);
    m_viewfinder->showRecordedFrame(
        frames, QStringLiteral("\u25cf REC %1").arg(clock(m_elapsed.elapsed())));
    if (frames >= maxFrames())
        shutter(); // full: stop as a real camera would
}

void CaptureWindow::shutter()
{
    if (m_done || isReviewing())
        return;
    if (!m_settings.video) {
        m_take.phase = m_viewfinder->phase();
        captured();
        return;
    }
    if (!m_recording) {
        if (maxFrames() == 0)
            return;
        m_recording = true;
        m_elapsed.start();
        m_recordTick.start();
        m_shutter->setText(QStringLiteral("Stop"));
        updateRecording();
        return;
    }
    // At least one frame: a clip stopped at once still holds what was seen.
    m_take.frames = qMax(1, recordedFrames());
    m_recording = false;
    m_recordTick.stop();
    m_shutter->setText(QStringLiteral("Record"));
    m_viewfinder->runFree();
    captured();
}

void CaptureWindow::captured()
{
    if (!m_settings.review) {
        finish(true);
        return;
    }
    QSize size = pictureSize(m_settings);
    // The review page is not laid out yet; it gets the space the viewfinder has.
    size.scale(m_viewfinder->size().expandedTo(QSize(240, 180)), Qt::KeepAspectRatio);
    const QImage image = m_settings.video
        ? videoFrame(m_settings.format, 0)
              .scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
        : testPattern(size, m_take.phase);
    m_review->setPixmap(QPixmap::fromImage(image));
    m_status->clear();
    m_pages->setCurrentIndex(1);
}

void CaptureWindow::accept()
{
    if (isReviewing())
        finish(true);
}

void CaptureWindow::retake()
{
    if (m_done || !isReviewing())
        return;
    m_take = Take();
    m_review->clear();
    m_pages->setCurrentIndex(0);
    m_status->setText(m_settings.video
            ? QStringLiteral("Space or Enter: record / stop.  Esc: cancel.")
            : QStringLiteral("Space or Enter: take the photo.  Esc: cancel."));
}

void CaptureWindow::reject()
{
    finish(false);
}

void CaptureWindow::finish(bool accepted)
{
    if (m_done)
        return;
    m_done = true;
    m_recordTick.stop();
    hide();
    Q_EMIT decided(accepted);
}

void CaptureWindow::dismiss()
{
    m_done = true;
    m_recordTick.stop();
    close();
}

void CaptureWindow::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!isReviewing())
            shutter();
        return;
    case Qt::Key_Escape:
        reject();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void CaptureWindow::closeEvent(QCloseEvent *event)
{
    finish(false);
    event->accept();
}

} // namespace refcam
