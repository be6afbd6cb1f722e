// SPDX-License-Identifier: MIT
#pragma once

#include "cameraservice.h"
#include "capture.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QStringList>
#include <QTimer>

#include <memory>

class QQuickItem;
class QQuickView;

namespace refcam {

class FrameItem;
class VideoPlayer;

// What the window shows and asks for, decoded from one request.
struct WindowSettings
{
    int number = 0;
    QString caller;
    bool video = false;
    QSize photoSize;
    VideoFormat format;
    qint64 sizeLimit = 0;
    int durationLimitMs = 0; // the recording stops by itself here; 0: when the user says
    bool review = false; // hasPostCapturedScreen is YES
    QStringList values; // the request as logged
    QString source = QStringLiteral("test");
    QString videoQuality;
    QString encoder;
    QString recordingPath; // a recording goes here until the user decides
    bool debugPanel = false; // the request's values on screen from the start
};

// One request's screen, in Qt Quick: viewfinder, shutter or record/stop, Cancel; then, when
// asked for, the review with Accept, Retake and Reject (a clip plays there). It only decides;
// the service writes. The QML sees this object as "camera".
class CaptureWindow : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool video READ isVideo CONSTANT)
    Q_PROPERTY(qreal aspect READ aspect CONSTANT)
    Q_PROPERTY(QString mode READ mode CONSTANT)
    Q_PROPERTY(QStringList requestLines READ requestLines CONSTANT)
    Q_PROPERTY(int shutterSize READ shutterSize CONSTANT) // px, at least 9 mm
    Q_PROPERTY(bool reviewing READ isReviewing NOTIFY stateChanged)
    Q_PROPERTY(bool recording READ isRecording NOTIFY stateChanged)
    Q_PROPERTY(bool busy READ isBusy NOTIFY stateChanged)
    Q_PROPERTY(QString status READ status NOTIFY stateChanged)
    Q_PROPERTY(QString elapsed READ elapsed NOTIFY progressChanged)
    Q_PROPERTY(QString limitText READ limitText NOTIFY progressChanged)
    Q_PROPERTY(qreal limitUsed READ limitUsed NOTIFY progressChanged) // 0..1
    Q_PROPERTY(bool debugPanel READ debugPanel WRITE setDebugPanel NOTIFY debugPanelChanged)
    Q_PROPERTY(QObject *player READ player CONSTANT)
public:
    explicit CaptureWindow(const WindowSettings &settings, QObject *parent = nullptr);
    ~CaptureWindow() override;

    Take take() const { return m_take; }
    bool isReviewing() const { return m_reviewing; }
    bool isRecording() const { return m_recording; }
    bool isBusy() const { return m_shutterPending || m_finishing; }
    // Closed from outside (the host cancelled or left): no decision is reported.
    void dismiss();

    // Full screen on screens under 1024 px on a side, else a window of the default size.
    void show();
    void raise();
    void activateWindow();
    void close();
    bool isVisible() const;
    bool isFullScreen() const;
    // The Qt Quick window, for tests and screenshots.
    QQuickView *view() const { return m_view.get(); }
    QQuickItem *item(const QString &objectName) const;

    // For frameless environments: the default size unless --window-size said otherwise;
    // a size given here also keeps small screens in a window of that size.
    static void setDefaultSize(const QSize &size);

    bool isVideo() const { return m_settings.video; }
    qreal aspect() const;
    QString mode() const;
    QStringList requestLines() const;
    int shutterSize() const;
    QString status() const { return m_status; }
    QString elapsed() const;
    QString limitText() const;
    qreal limitUsed() const;
    bool debugPanel() const { return m_debugPanel; }
    void setDebugPanel(bool on);
    QObject *player() const;

public Q_SLOTS:
    void shutter(); // photo: take; video: record or stop
    void accept();
    void retake();
    void reject();

Q_SIGNALS:
    void decided(bool accepted);
    // The camera failed; the request is answered with this D-Bus error.
    void failed(const QString &errorName, const QString &message);
    void stateChanged();
    void progressChanged();
    void debugPanelChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void captured();
    void updateRecording();
    void finish(bool accepted);
    void startLive();
    void recordingFinished(const CaptureResult &result);
    void dropRecording();
    void setStatus(const QString &status);
    QString hint() const;
    int screenDegrees() const;

    WindowSettings m_settings;
    Take m_take;
    bool m_done = false;
    bool m_accepted = false;
    bool m_recording = false;
    bool m_finishing = false;
    bool m_reviewing = false;
    bool m_debugPanel = false;
    QString m_status;
    QElapsedTimer m_elapsed;
    qint64 m_recordedMs = 0;
    QTimer m_recordTick;

    std::unique_ptr<QQuickView> m_view;
    FrameItem *m_viewfinder = nullptr;
    FrameItem *m_review = nullptr;
    VideoPlayer *m_player = nullptr;
    QPointer<CaptureJob> m_job;
    bool m_shutterPending = false;
    QMetaObject::Connection m_settledConnection;
    QImage m_shot;
};

} // namespace refcam
