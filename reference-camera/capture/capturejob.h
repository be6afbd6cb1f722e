// SPDX-License-Identifier: MIT
#pragma once

#include "gstref.h"
#include "gstsource.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QTimer>

#include <memory>

namespace refcam {

struct CaptureSettings
{
    QString source = QStringLiteral("auto");
    bool video = false;
    QSize photoSize; // invalid: the source's largest mode
    QString videoQuality = QStringLiteral("HIGHEST");
    qint64 sizeLimit = 0; // bytes; 0 or less: none
    int recordMs = 3000; // 0 or less: until stop(); a recording that reaches it is DURATION_LIMIT
    int orientationDegrees = -1; // -1: the camera's own mounting rotation, else 0
    QString encoder; // H.264 encoder; empty: the first installed
    QString format; // "jpeg", "png", "mp4", "webm", "mkv" or "y4m"; empty: jpeg / mp4
    // Interactive photos: encode this frame instead of taking one from the source.
    SharedSample frame;
    bool viewfinder = false; // a recording also hands out pictures for the screen
};

struct CaptureResult
{
    bool ok = false;
    QString errorName; // D-Bus error, or empty for a plain failure (answered FAILED)
    QString message;
    qint64 bytes = 0;
    QString description; // what was written, for the log
    // A video: its length, and what ended it ("USER", "DURATION_LIMIT", "SIZE_LIMIT").
    qint64 durationMs = 0;
    QString endedBy;
};

class CaptureOutput;
class Pipeline;
struct VideoProfile;

// One capture, photo or video, running in GStreamer's threads; finished() arrives on the
// thread that made the job. Deleting or cancelling a running job leaves no file behind.
class CaptureJob : public QObject
{
    Q_OBJECT
public:
    // Writes path through a hidden file in its folder, renamed into place when done.
    static CaptureJob *intoPath(
        const CaptureSettings &settings, const QString &path, QObject *parent = nullptr);
    // Writes name in the folder open at dirFd (kept open by the caller until finished()).
    static CaptureJob *intoFolder(const CaptureSettings &settings, int dirFd, const QString &name,
        const QString &shownPath, QObject *parent = nullptr);
    // Writes into fd, a seekable file the caller keeps open: rewritten from offset 0 and cut
    // to the capture's size. A failed capture leaves it empty. fd is duplicated, not closed.
    static CaptureJob *intoFd(const CaptureSettings &settings, int fd, QObject *parent = nullptr);
    ~CaptureJob() override;

    void start();
    // A recording ends now and is kept (interactive stop).
    void stop();
    // Ends the capture without a file; no finished() follows.
    void cancel();
    bool isRunning() const { return m_running; }
    // Started but waiting for the camera (deviceturns.h): how many captures have it or wait
    // before this one; 0 when it has it or needs none.
    int capturesAhead() const;
    // The bytes a recording has used of its size limit so far, for the screen's gauge.
    qint64 bytesWritten() const;
    // The newest picture for the screen (settings.viewfinder), announced by viewFrame().
    QImage viewImage() const;

Q_SIGNALS:
    void finished(const refcam::CaptureResult &result);
    void viewFrame();

private:
    CaptureJob(const CaptureSettings &settings, QObject *parent);
    // photo.cpp
    void startPhoto();
    void photoFromLive();
    void encodePhoto(GstSample *sample);
    void photoEncoded();
    // recording.cpp
    void startVideo();
    void record();
    bool chooseEncoder(QString *encoderName);
    bool buildRecording(const QString &encoderName, const VideoProfile &profile);
    void watchRecording();
    void recordingEvent(int event, const QString &text);
    void videoEnded();
    bool checkRecordingSize(qint64 samples, qint64 refused, qint64 written);
    bool checkFrameCount(qint64 samples, qint64 firstMs, qint64 spanMs);

    void fail(const QString &errorName, const QString &message);
    void succeed(const QString &description, qint64 bytes = -1, const QString &endedBy = {},
        qint64 durationMs = 0);
    void finish(const CaptureResult &result);

    CaptureSettings m_settings;
    std::unique_ptr<CaptureOutput> m_output;
    SourceModes m_source;
    SourceMode m_mode;
    QSize m_size;
    QString m_description;
    Pipeline *m_pipeline = nullptr;
    GstElement *m_appsink = nullptr; // in m_pipeline
    GstElement *m_sourceCaps = nullptr; // in m_pipeline
    GstElement *m_beforeMux = nullptr; // in m_pipeline
    GstElement *m_fileSink = nullptr; // in m_pipeline
    QTimer m_recordTimer;
    QElapsedTimer m_elapsed;
    bool m_running = false;
    bool m_stopRequested = false;
    bool m_stoppedByTimer = false; // the recording reached settings.recordMs
    bool m_stopDeferred = false; // stop() waits for the first frame
    int m_fps = 0;
    QMetaObject::Connection m_liveConnection;
};

} // namespace refcam

Q_DECLARE_METATYPE(refcam::CaptureResult)
