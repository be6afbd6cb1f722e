// SPDX-License-Identifier: MIT
#pragma once

#include "cameraservice.h"
#include "capture.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QSize>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace refcam {

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
};

// Live test pattern: the photo's bars sliding, or the clip's own frames while recording.
class Viewfinder : public QWidget
{
    Q_OBJECT
public:
    explicit Viewfinder(const WindowSettings &settings, QWidget *parent = nullptr);

    int phase() const { return m_phase; }
    // The newest picture of the camera, drawn as it comes.
    void setLive(const QImage &image);
    QImage live() const { return m_live; }
    void showRecordedFrame(int index, const QString &overlay);
    void runFree();
    QSize sizeHint() const override { return QSize(480, 360); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect pictureRect() const;

    WindowSettings m_settings;
    QTimer m_timer;
    int m_phase = 0;
    int m_recordedFrame = -1;
    QString m_overlay;
    QImage m_live;
};

// One request's window: viewfinder, shutter or record/stop, Cancel; then, when asked for,
// the review screen with Accept, Retake and Reject. It only decides; the service writes.
class CaptureWindow : public QWidget
{
    Q_OBJECT
public:
    explicit CaptureWindow(const WindowSettings &settings, QWidget *parent = nullptr);

    Take take() const { return m_take; }
    bool isReviewing() const;
    // Closed from outside (the host cancelled or left): no decision is reported.
    void dismiss();

    // For frameless environments: the default size unless --window-size said otherwise.
    static void setDefaultSize(const QSize &size);

public Q_SLOTS:
    void shutter(); // photo: take; video: record or stop
    void accept();
    void retake();
    void reject();

Q_SIGNALS:
    void decided(bool accepted);
    // The camera failed; the request is answered with this D-Bus error.
    void failed(const QString &errorName, const QString &message);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void captured();
    void updateRecording();
    void finish(bool accepted);
    void startLive();
    void recordingFinished(const CaptureResult &result);
    void dropRecording();

    WindowSettings m_settings;
    Take m_take;
    bool m_done = false;
    bool m_accepted = false;
    bool m_recording = false;
    QElapsedTimer m_elapsed;
    QTimer m_recordTick;

    QStackedWidget *m_pages = nullptr;
    Viewfinder *m_viewfinder = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_shutter = nullptr;
    QLabel *m_review = nullptr;
    QPointer<CaptureJob> m_job;
    bool m_shutterPending = false;
    QMetaObject::Connection m_settledConnection;
    QImage m_shot;
};

} // namespace refcam
