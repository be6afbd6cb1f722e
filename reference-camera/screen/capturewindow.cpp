// SPDX-License-Identifier: MIT
#include "capturewindow.h"

#include "kivaction_names_p.h"

#include <QCloseEvent>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <gst/gst.h>

#include <cstdio>

namespace refcam {

namespace {

// Without a size limit a clip stops after a minute: about 200 MB at HIGHEST.
constexpr int maxClipSeconds = 60;

QSize g_defaultSize(900, 600);

QSize pictureSize(const WindowSettings &settings)
{
    if (!settings.video)
        return settings.photoSize.isValid() ? settings.photoSize : QSize(1920, 1080);
    return videoProfile(settings.videoQuality).size;
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
}

void Viewfinder::setLive(const QImage &image)
{
    if (image.isNull())
        return;
    m_live = image;
    ++m_phase;
    update();
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
    if (m_live.isNull()) {
        painter.setPen(Qt::white);
        painter.drawText(target, Qt::AlignCenter, QStringLiteral("Starting the camera\u2026"));
    } else {
        // The camera's picture, cropped as the file will be.
        QSize crop = target.size();
        crop.scale(m_live.size(), Qt::KeepAspectRatio);
        QRect from(QPoint(), crop);
        from.moveCenter(m_live.rect().center());
        painter.drawImage(target, m_live, from);
    }
    const QSize size = pictureSize(m_settings);
    const QString corner = QStringLiteral("%1x%2").arg(size.width()).arg(size.height())
        + (m_settings.video
                ? QStringLiteral(" @ %1 fps").arg(videoProfile(m_settings.videoQuality).fps)
                : QString());
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
    resize(g_defaultSize);
    setFocus();
    LiveSource *live = LiveSource::instance();
    connect(live, &LiveSource::viewFrame, this, [this, live] {
        if (!m_recording)
            m_viewfinder->setLive(live->viewImage());
    });
    connect(live, &LiveSource::failed, this, [this](const QString &name, const QString &text) {
        if (!m_done && !m_job)
            Q_EMIT failed(name, text);
    });
    QTimer::singleShot(0, this, &CaptureWindow::startLive);
}

void CaptureWindow::startLive()
{
    if (m_done)
        return;
    const SourceModes modes = probeSource(m_settings.source);
    QString errorName = modes.errorName;
    QString error = modes.errorMessage;
    if (modes.ok()) {
        const QSize wanted = m_settings.video
            ? videoProfile(m_settings.videoQuality).size
            : (m_settings.photoSize.isValid() ? m_settings.photoSize
                                              : modes.modes.constFirst().size);
        if (LiveSource::instance()->use(
                m_settings.source, pickMode(modes.modes, wanted), true, &errorName, &error))
            return;
    }
    m_status->setText(error);
    Q_EMIT failed(errorName, error);
}

bool CaptureWindow::isReviewing() const
{
    return m_pages->currentIndex() == 1;
}

void CaptureWindow::updateRecording()
{
    const QString text = QStringLiteral("REC %1").arg(clock(m_elapsed.elapsed()));
    m_status->setText(m_settings.sizeLimit > 0
            ? text + QStringLiteral(", limit %1 bytes").arg(m_settings.sizeLimit)
            : text);
    m_viewfinder->showRecordedFrame(0, QStringLiteral("\u25cf ") + text);
    if (m_elapsed.elapsed() >= maxClipSeconds * 1000)
        shutter(); // a minute at most, as a real camera would stop
}

void CaptureWindow::shutter()
{
    if (m_done || isReviewing())
        return;
    LiveSource *live = LiveSource::instance();
    if (!m_settings.video) {
        GstSample *frame = live->isSettled() ? live->newestFrame() : nullptr;
        if (!frame) {
            // Pressed before the camera has settled: taken as soon as it has.
            if (!m_shutterPending) {
                m_shutterPending = true;
                m_status->setText(QStringLiteral("Waiting for the camera\u2026"));
                m_settledConnection
                    = connect(live, &LiveSource::settled, this, &CaptureWindow::shutter);
            }
            return;
        }
        m_shutterPending = false;
        disconnect(m_settledConnection);
        m_take.frame = std::shared_ptr<GstSample>(frame, gst_sample_unref);
        m_shot = live->viewImage();
        captured();
        return;
    }
    if (m_job) {
        if (m_recording) {
            m_recording = false;
            m_recordTick.stop();
            m_status->setText(QStringLiteral("Finishing the clip\u2026"));
            m_job->stop();
        }
        return;
    }
    // The recording needs the camera to itself.
    m_shot = m_viewfinder->live();
    live->release(true);
    CaptureSettings settings;
    settings.source = m_settings.source;
    settings.video = true;
    settings.videoQuality = m_settings.videoQuality;
    settings.sizeLimit = m_settings.sizeLimit;
    settings.recordMs = m_settings.durationLimitMs;
    settings.encoder = m_settings.encoder;
    settings.format = formatForPath(true, m_settings.recordingPath);
    m_job = CaptureJob::intoPath(settings, m_settings.recordingPath, this);
    connect(m_job, &CaptureJob::finished, this, &CaptureWindow::recordingFinished);
    m_recording = true;
    m_elapsed.start();
    m_recordTick.start();
    m_shutter->setText(QStringLiteral("Stop"));
    updateRecording();
    m_job->start();
}

void CaptureWindow::recordingFinished(const CaptureResult &result)
{
    m_recording = false;
    m_recordTick.stop();
    m_shutter->setText(QStringLiteral("Record"));
    m_viewfinder->runFree();
    if (m_job)
        m_job->deleteLater();
    m_job = nullptr;
    if (!result.ok) {
        dropRecording();
        Q_EMIT failed(
            result.errorName.isEmpty() ? KivAction::cameraFailedError() : result.errorName,
            result.message);
        return;
    }
    m_take.recordedFile = m_settings.recordingPath;
    m_take.recordMs = int(m_elapsed.elapsed());
    m_take.endedBy = result.endedBy;
    captured();
}

void CaptureWindow::dropRecording()
{
    if (m_job) {
        m_job->cancel();
        m_job->deleteLater();
        m_job = nullptr;
    }
    if (!m_take.recordedFile.isEmpty())
        std::remove(QFile::encodeName(m_take.recordedFile).constData());
    m_take.recordedFile.clear();
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
    if (!m_shot.isNull())
        m_review->setPixmap(QPixmap::fromImage(
            m_shot.scaled(size, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)));
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
    dropRecording();
    m_take = Take();
    m_shot = QImage();
    m_review->clear();
    m_pages->setCurrentIndex(0);
    startLive();
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
    m_accepted = accepted;
    m_recordTick.stop();
    if (!accepted)
        dropRecording();
    LiveSource::instance()->release();
    hide();
    Q_EMIT decided(accepted);
}

void CaptureWindow::dismiss()
{
    // After an Accept the service moves the clip into place; anything else drops it.
    if (!m_accepted)
        dropRecording();
    m_done = true;
    m_recordTick.stop();
    LiveSource::instance()->release();
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
