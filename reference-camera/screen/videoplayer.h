// SPDX-License-Identifier: MIT
#pragma once

#include "gstref.h"

#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>

namespace refcam {

// Plays a recorded clip for the review screen: GStreamer's playbin decodes into an appsink
// whose frames go to a FrameItem. Starts paused on the first frame.
class VideoPlayer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool playing READ isPlaying NOTIFY stateChanged)
    Q_PROPERTY(bool ready READ isReady NOTIFY stateChanged)
    Q_PROPERTY(int position READ position NOTIFY positionChanged) // ms
    Q_PROPERTY(int duration READ duration NOTIFY positionChanged) // ms, 0 until known
    Q_PROPERTY(QString error READ error NOTIFY stateChanged)
public:
    explicit VideoPlayer(QObject *parent = nullptr);
    ~VideoPlayer() override;

    // Loads path (paused at the start); false with error() set when it cannot.
    bool open(const QString &path);
    void close();

    bool isPlaying() const { return m_playing; }
    bool isReady() const { return m_ready; }
    int position() const { return m_position; }
    int duration() const { return m_duration; }
    QString error() const { return m_error; }
    int framesShown() const { return m_frames; }

public Q_SLOTS:
    void play();
    void pause();
    void toggle();
    void seek(int ms);

Q_SIGNALS:
    void frame(const QImage &image);
    void stateChanged();
    void positionChanged();

private:
    void poll();
    void deliver(const QImage &image);

    GstRef<GstElement> m_pipeline;
    QTimer m_poll;
    bool m_playing = false;
    bool m_ready = false;
    bool m_atEnd = false;
    int m_position = 0;
    int m_duration = 0;
    int m_frames = 0;
    QString m_error;
};

} // namespace refcam
