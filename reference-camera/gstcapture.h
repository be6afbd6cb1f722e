// SPDX-License-Identifier: MIT
#pragma once

#include "gstsource.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>

typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;

namespace refcam {

// Frames a live source delivers before a photo is taken: a sensor spends them on exposure.
constexpr int settleFrames = 5;
// No first frame within this time: the camera did not start.
constexpr int firstFrameTimeoutMs = 10000;
// No frame for this long once running: the camera stalled.
constexpr int stallTimeoutMs = 3000;
// Bytes kept back for a container's index and trailer, plus so much per frame.
constexpr qint64 trailerReserve = 16 * 1024;
constexpr qint64 reservePerFrame = 64;

// videoQuality as a size, frame rate and bit rate; capped by the source's modes.
struct VideoProfile
{
    QString quality;
    QSize size;
    int fps = 30;
    int kbps = 0;
};
VideoProfile videoProfile(const QString &quality);
// videoProfile(quality) as a recording from modes gets it: the size of the mode picked for
// it when that is smaller (even-sized for the encoder), the frame rate at most the mode's.
VideoProfile cappedVideoProfile(
    const QString &quality, const QList<SourceMode> &modes, SourceMode *picked = nullptr);
// The whole table, one line per quality, for the log and --help.
QString videoProfileTable();

// The H.264 encoder a recording uses: wanted when installed, else the first of
// openh264enc, x264enc, v4l2h264enc. Empty with error set when none is installed.
QString pickH264Encoder(const QString &wanted, QString *error);
// Encoders of the list above that are installed.
QStringList installedH264Encoders();

// EXIF APP1 segment (with its marker) for a photo, and a JPEG with it in place of JFIF.
struct ExifFields
{
    QString make;
    QString model;
    QString software;
    QDateTime taken;
    QSize size;
    int orientation = 1; // EXIF value: 1, 3, 6 or 8
};
QByteArray exifSegment(const ExifFields &fields);
QByteArray insertExif(const QByteArray &jpeg, const QByteArray &segment);
// Degrees to turn the picture clockwise for display (0, 90, 180, 270) as EXIF Orientation.
int exifOrientation(int degrees);

struct CaptureSettings
{
    QString source = QStringLiteral("auto");
    bool video = false;
    QSize photoSize; // invalid: the source's largest mode
    QString videoQuality = QStringLiteral("HIGHEST");
    qint64 sizeLimit = 0; // bytes; 0 or less: none
    int recordMs = 3000; // 0 or less: until stop()
    int orientationDegrees = -1; // -1: the camera's own mounting rotation, else 0
    QString encoder; // H.264 encoder; empty: the first installed
    QString format; // "jpeg", "png", "mp4", "webm", "mkv" or "y4m"; empty: jpeg / mp4
    // Interactive photos: encode this frame instead of taking one from the source.
    GstSample *frame = nullptr;
};

// The container a target's name asks for ("mp4" for anything unknown), or the photo format.
QString formatForPath(bool video, const QString &path);
QString suffixForFormat(const QString &format);

struct CaptureResult
{
    bool ok = false;
    QString errorName; // D-Bus error, or empty for a plain failure (answered FAILED)
    QString message;
    qint64 bytes = 0;
    QString description; // what was written, for the log
};

class CaptureOutput;
class Pipeline;

// One capture, photo or video, running in GStreamer's threads; finished() arrives on the
// thread that made the job. Deleting or cancelling a running job leaves no file behind.
class CaptureJob : public QObject
{
    Q_OBJECT
public:
    // Writes path through a hidden file in its folder, renamed into place when done.
    static CaptureJob *intoPath(
        const CaptureSettings &settings, const QString &path, QObject *parent = nullptr);
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

Q_SIGNALS:
    void finished(const refcam::CaptureResult &result);

private:
    CaptureJob(const CaptureSettings &settings, QObject *parent);
    void startPhoto();
    void encodePhoto(GstSample *sample);
    void photoEncoded();
    void startVideo();
    void videoEnded();
    void fail(const QString &errorName, const QString &message);
    void succeed(const QString &description);

    CaptureSettings m_settings;
    std::unique_ptr<CaptureOutput> m_output;
    SourceModes m_source;
    SourceMode m_mode;
    QSize m_size;
    QString m_description;
    Pipeline *m_pipeline = nullptr;
    GstElement *m_appsink = nullptr;
    QTimer m_recordTimer;
    QElapsedTimer m_elapsed;
    bool m_running = false;
    bool m_stopRequested = false;
    QMetaObject::Connection m_liveConnection;
};

// The camera kept open between photos and for the viewfinder: newest full-size frame,
// optionally a small picture for the window. Stopped when unused for a few seconds so the
// device is free again.
class LiveSource : public QObject
{
    Q_OBJECT
public:
    static LiveSource *instance();

    // Runs sourceName at mode (restarting when either differs); false when it cannot start.
    bool use(const QString &sourceName, const SourceMode &mode, bool viewfinder, QString *errorName,
        QString *error);
    bool isSettled() const;
    // The newest full-size frame (a new reference), or null.
    GstSample *newestFrame() const;
    QImage viewImage() const;
    // Stops after a grace time unless used again; at once when now is true.
    void release(bool now = false);

Q_SIGNALS:
    void settled();
    void viewFrame();
    void failed(const QString &errorName, const QString &message);

private:
    LiveSource() = default;
    void stopNow();

    Pipeline *m_pipeline = nullptr;
    QString m_sourceName;
    SourceMode m_mode;
    bool m_viewfinder = false;
    QTimer *m_idle = nullptr;
};

} // namespace refcam

Q_DECLARE_METATYPE(refcam::CaptureResult)
