// SPDX-License-Identifier: MIT
#include "capturewindow.h"

#include "frameitem.h"
#include "gstcapture.h"
#include "kivaction_names_p.h"
#include "videoplayer.h"

#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QScreen>
#include <QtQml>

#include <gst/gst.h>

#include <cmath>
#include <cstdio>

static void initScreenResources()
{
    // The QML lives in a static library: its resources are not registered by themselves.
    Q_INIT_RESOURCE(screen);
}

namespace refcam {

namespace {

// Without a size limit a clip stops after a minute: about 200 MB at HIGHEST.
constexpr int maxClipSeconds = 60;
// Screens smaller than this on either side are phones: the camera takes all of it.
constexpr int phoneScreenSide = 1024;

QSize g_defaultSize(900, 600);
bool g_sizeGiven = false;

QSize pictureSize(const WindowSettings &settings)
{
    if (!settings.video)
        return settings.photoSize.isValid() ? settings.photoSize : QSize(1920, 1080);
    return videoProfile(settings.videoQuality).size;
}

QString clock(qint64 ms)
{
    return QStringLiteral("%1:%2")
        .arg(ms / 60000, 2, 10, QLatin1Char('0'))
        .arg((ms / 1000) % 60, 2, 10, QLatin1Char('0'));
}

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / 1e6, 'f', 1);
}

void registerTypes()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    initScreenResources();
    // Without a display there is no OpenGL; Qt 5 would abort instead of falling back.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        QQuickWindow::setSceneGraphBackend(QStringLiteral("software"));
    qmlRegisterType<FrameItem>("ReferenceCamera", 1, 0, "CameraPicture");
    qmlRegisterUncreatableType<VideoPlayer>(
        "ReferenceCamera", 1, 0, "VideoPlayer", QStringLiteral("made by the camera"));
}

} // namespace

void CaptureWindow::setDefaultSize(const QSize &size)
{
    g_defaultSize = size;
    g_sizeGiven = true;
}

CaptureWindow::CaptureWindow(const WindowSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_debugPanel(settings.debugPanel)
{
    m_status = hint();
    setObjectName(QStringLiteral("captureWindow"));
    registerTypes();
    if (settings.video)
        m_player = new VideoPlayer(this);
    m_view = std::make_unique<QQuickView>();
    m_view->setTitle(QStringLiteral("Reference camera: %1 for %2 (request %3)")
                         .arg(settings.video ? QStringLiteral("video") : QStringLiteral("photo"),
                             settings.caller)
                         .arg(settings.number));
    m_view->setColor(Qt::black);
    m_view->setResizeMode(QQuickView::SizeRootObjectToView);
    m_view->rootContext()->setContextProperty(QStringLiteral("camera"), this);
    m_view->setSource(QUrl(QStringLiteral("qrc:/refcam/screen/CaptureScreen.qml")));
    for (const QQmlError &error : m_view->errors())
        std::fprintf(stderr, "reference-camera: %s\n", qPrintable(error.toString()));
    m_viewfinder = qobject_cast<FrameItem *>(item(QStringLiteral("viewfinder")));
    m_review = qobject_cast<FrameItem *>(item(QStringLiteral("reviewPicture")));
    if (m_player && m_review)
        connect(m_player, &VideoPlayer::frame, m_review, &FrameItem::setImage);
    m_view->installEventFilter(this);
    m_view->resize(g_defaultSize);

    m_recordTick.setInterval(100);
    connect(&m_recordTick, &QTimer::timeout, this, &CaptureWindow::updateRecording);
    LiveSource *live = LiveSource::instance();
    connect(live, &LiveSource::viewFrame, this, [this, live] {
        if (!m_recording && !m_reviewing && m_viewfinder)
            m_viewfinder->setImage(live->viewImage());
    });
    connect(live, &LiveSource::failed, this, [this](const QString &name, const QString &text) {
        if (!m_done && !m_job)
            Q_EMIT failed(name, text);
    });
    QTimer::singleShot(0, this, &CaptureWindow::startLive);
}

CaptureWindow::~CaptureWindow()
{
    if (m_player)
        m_player->close();
    // The view's QML refers to this object: it goes first.
    m_view.reset();
}

QQuickItem *CaptureWindow::item(const QString &objectName) const
{
    QQuickItem *root = m_view ? m_view->rootObject() : nullptr;
    if (!root)
        return nullptr;
    if (root->objectName() == objectName)
        return root;
    return root->findChild<QQuickItem *>(objectName);
}

void CaptureWindow::show()
{
    QScreen *screen = m_view->screen();
    const QSize side = screen ? screen->size() : QSize();
    if (!g_sizeGiven && screen
        && (side.width() < phoneScreenSide || side.height() < phoneScreenSide)) {
        m_view->setGeometry(screen->geometry());
        m_view->showFullScreen();
        return;
    }
    m_view->resize(g_defaultSize);
    m_view->show();
}

void CaptureWindow::raise()
{
    m_view->raise();
}

void CaptureWindow::activateWindow()
{
    m_view->requestActivate();
}

void CaptureWindow::close()
{
    finish(false);
    m_view->close();
}

bool CaptureWindow::isVisible() const
{
    return m_view && m_view->isVisible();
}

bool CaptureWindow::isFullScreen() const
{
    return m_view && m_view->windowStates().testFlag(Qt::WindowFullScreen);
}

qreal CaptureWindow::aspect() const
{
    const QSize size = pictureSize(m_settings);
    return size.height() > 0 ? qreal(size.width()) / size.height() : 0;
}

QString CaptureWindow::mode() const
{
    const QSize size = pictureSize(m_settings);
    if (!m_settings.video)
        return QStringLiteral("Photo \u00b7 %1\u00d7%2").arg(size.width()).arg(size.height());
    return QStringLiteral("Video \u00b7 %1\u00d7%2 \u00b7 %3 fps")
        .arg(size.width())
        .arg(size.height())
        .arg(videoProfile(m_settings.videoQuality).fps);
}

QStringList CaptureWindow::requestLines() const
{
    QStringList lines {
        QStringLiteral("Request %1 from %2").arg(m_settings.number).arg(m_settings.caller)
    };
    lines += m_settings.values.isEmpty() ? QStringList { QStringLiteral("(no values)") }
                                         : m_settings.values;
    lines << (m_settings.review ? QStringLiteral("Review screen: yes")
                                : QStringLiteral("Review screen: no"));
    if (m_settings.video)
        lines << (m_settings.sizeLimit > 0
                ? QStringLiteral("Size limit: %1 bytes").arg(m_settings.sizeLimit)
                : QStringLiteral("Size limit: none (%1 s at most)").arg(maxClipSeconds));
    return lines;
}

int CaptureWindow::shutterSize() const
{
    QScreen *screen = m_view ? m_view->screen() : QGuiApplication::primaryScreen();
    // 9 mm in logical pixels; never below the 56 px a 160 dpi phone would get.
    const qreal dpi = screen ? screen->physicalDotsPerInch() / screen->devicePixelRatio() : 160;
    return qMax(56, int(std::ceil(9 * dpi / 25.4)));
}

QString CaptureWindow::elapsed() const
{
    return clock(m_recording ? m_elapsed.elapsed() : m_recordedMs);
}

QString CaptureWindow::limitText() const
{
    if (!m_settings.video)
        return QString();
    if (m_settings.sizeLimit > 0) {
        const qint64 used = m_job ? m_job->bytesWritten() : 0;
        return QStringLiteral("%1 of %2 MB").arg(megabytes(used), megabytes(m_settings.sizeLimit));
    }
    return QStringLiteral("%1 of %2").arg(elapsed(), clock(maxClipSeconds * 1000));
}

qreal CaptureWindow::limitUsed() const
{
    if (!m_settings.video)
        return 0;
    if (m_settings.sizeLimit > 0)
        return m_job ? qBound(0.0, qreal(m_job->bytesWritten()) / m_settings.sizeLimit, 1.0) : 0;
    const qint64 ms = m_recording ? m_elapsed.elapsed() : m_recordedMs;
    return qBound(0.0, qreal(ms) / (maxClipSeconds * 1000), 1.0);
}

void CaptureWindow::setDebugPanel(bool on)
{
    if (on == m_debugPanel)
        return;
    m_debugPanel = on;
    Q_EMIT debugPanelChanged();
}

QObject *CaptureWindow::player() const
{
    return m_player;
}

QString CaptureWindow::hint() const
{
    return m_settings.video ? QStringLiteral("Tap to record")
                            : QStringLiteral("Tap to take a photo");
}

void CaptureWindow::setStatus(const QString &status)
{
    m_status = status;
    Q_EMIT stateChanged();
}

// Degrees to turn a photo for display as the screen is held: sensors are mounted landscape.
int CaptureWindow::screenDegrees() const
{
    QScreen *screen = m_view ? m_view->screen() : nullptr;
    if (!screen)
        return 0;
    return screen->angleBetween(Qt::LandscapeOrientation, screen->orientation());
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
    setStatus(error);
    Q_EMIT failed(errorName, error);
}

void CaptureWindow::updateRecording()
{
    Q_EMIT progressChanged();
    if (m_recording && m_elapsed.elapsed() >= maxClipSeconds * 1000)
        shutter(); // a minute at most, as a real camera would stop
}

void CaptureWindow::shutter()
{
    if (m_done || m_reviewing)
        return;
    LiveSource *live = LiveSource::instance();
    if (!m_settings.video) {
        GstSample *frame = live->isSettled() ? live->newestFrame() : nullptr;
        if (!frame) {
            // Pressed before the camera has settled: taken as soon as it has.
            if (!m_shutterPending) {
                m_shutterPending = true;
                m_settledConnection
                    = connect(live, &LiveSource::settled, this, &CaptureWindow::shutter);
                setStatus(QStringLiteral("Waiting for the camera\u2026"));
            }
            return;
        }
        m_shutterPending = false;
        disconnect(m_settledConnection);
        m_take.frame = shareSample(frame);
        m_take.orientationDegrees = screenDegrees();
        m_shot = live->viewImage();
        captured();
        return;
    }
    if (m_job) {
        if (m_recording) {
            m_recording = false;
            m_finishing = true;
            m_recordedMs = m_elapsed.elapsed();
            m_recordTick.stop();
            setStatus(QStringLiteral("Finishing the clip\u2026"));
            m_job->stop();
        }
        return;
    }
    // The recording needs the camera to itself.
    live->release(true);
    CaptureSettings settings;
    settings.source = m_settings.source;
    settings.video = true;
    settings.videoQuality = m_settings.videoQuality;
    settings.sizeLimit = m_settings.sizeLimit;
    settings.recordMs = m_settings.durationLimitMs;
    settings.encoder = m_settings.encoder;
    settings.format = formatForPath(true, m_settings.recordingPath);
    settings.viewfinder = true;
    m_job = CaptureJob::intoPath(settings, m_settings.recordingPath, this);
    connect(m_job, &CaptureJob::finished, this, &CaptureWindow::recordingFinished);
    connect(m_job, &CaptureJob::viewFrame, this, [this] {
        if (m_job && m_viewfinder)
            m_viewfinder->setImage(m_job->viewImage());
    });
    m_recording = true;
    m_recordedMs = 0;
    m_elapsed.start();
    m_recordTick.start();
    setStatus(QStringLiteral("Recording"));
    Q_EMIT progressChanged();
    m_job->start();
}

void CaptureWindow::recordingFinished(const CaptureResult &result)
{
    if (m_recording)
        m_recordedMs = m_elapsed.elapsed(); // the camera ended it: a limit was reached
    m_recording = false;
    m_finishing = false;
    m_recordTick.stop();
    if (m_job)
        m_job->deleteLater();
    m_job = nullptr;
    Q_EMIT progressChanged();
    if (!result.ok) {
        dropRecording();
        setStatus(result.message);
        Q_EMIT failed(
            result.errorName.isEmpty() ? KivAction::cameraFailedError() : result.errorName,
            result.message);
        return;
    }
    m_take.recordedFile = m_settings.recordingPath;
    m_take.recordMs = int(m_recordedMs);
    m_take.endedBy = result.endedBy;
    captured();
}

void CaptureWindow::dropRecording()
{
    if (m_player)
        m_player->close();
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
    if (m_review) {
        m_review->clear();
        if (!m_shot.isNull())
            m_review->setImage(m_shot);
    }
    // The review plays the very file that Accept hands over.
    if (m_player && !m_take.recordedFile.isEmpty() && !m_player->open(m_take.recordedFile))
        setStatus(m_player->error());
    m_reviewing = true;
    setStatus(QString());
}

void CaptureWindow::accept()
{
    if (m_reviewing)
        finish(true);
}

void CaptureWindow::retake()
{
    if (m_done || !m_reviewing)
        return;
    dropRecording();
    m_take = Take();
    m_shot = QImage();
    m_recordedMs = 0;
    if (m_review)
        m_review->clear();
    m_reviewing = false;
    setStatus(hint());
    Q_EMIT progressChanged();
    startLive();
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
    if (m_player)
        m_player->close(); // the file is moved into place next
    if (!accepted)
        dropRecording();
    LiveSource::instance()->release();
    m_view->hide();
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
    m_view->close();
}

bool CaptureWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_view.get())
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::Close) {
        finish(false);
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    // The window owns these keys: Space must never press a focused Cancel. They act once
    // the key event is done with: the decision may take the window away.
    switch (static_cast<QKeyEvent *>(event)->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!m_reviewing)
            QMetaObject::invokeMethod(this, &CaptureWindow::shutter, Qt::QueuedConnection);
        return true;
    case Qt::Key_Escape:
        QMetaObject::invokeMethod(this, &CaptureWindow::reject, Qt::QueuedConnection);
        return true;
    default:
        return false;
    }
}

} // namespace refcam
