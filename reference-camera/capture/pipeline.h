// SPDX-License-Identifier: MIT
#pragma once

#include "gstref.h"
#include "gstsource.h"

#include <QImage>
#include <QMutex>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

class QSocketNotifier;

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

// What a pipeline tells its owner, always on the Qt thread.
enum class PipelineEvent
{
    Eos,
    Error,
    Settled, // a live source has delivered settleFrames frames
    View, // a new viewfinder picture
    Timeout, // no picture, a stall, or no end after the end was asked for
    WriteError, // a sink could not write its file: text is the system's words
};

qint64 nowMs();

// State the streaming threads write and the Qt thread reads.
struct Shared
{
    GstElement *pipeline = nullptr; // not owned
    std::atomic<qint64> frames { 0 };
    std::atomic<qint64> lastFrameMs { 0 };
    // When the first frame left the encoder: its start-up is not the camera's doing.
    std::atomic<qint64> firstFrameMs { 0 };
    // Size limit bookkeeping.
    qint64 limit = 0;
    std::atomic<qint64> payload { 0 };
    std::atomic<qint64> samples { 0 };
    std::atomic<qint64> position { 0 };
    std::atomic<qint64> writtenEnd { 0 };
    std::atomic<bool> limitReached { false };
    std::atomic<qint64> refusedFirst { 0 }; // size of a first frame that did not fit
    // Length limit: frames this far (ns) past the first one are not encoded.
    qint64 lengthLimitNs = 0;
    std::atomic<qint64> firstPts { -1 };
    // Live source frames.
    QMutex lock;
    GstRef<GstSample> newest;
    QImage view;
    std::atomic<bool> viewPending { false };
};

// Probe and app sink callbacks get the Shared through a holder they own a share of.
gpointer holder(const std::shared_ptr<Shared> &shared);
void dropHolder(gpointer data);
Shared *fromHolder(gpointer data);

// Tells the Qt thread from a streaming thread: the message travels on the pipeline's bus.
void postNote(GstElement *from, PipelineEvent event);

// A pipeline owned by the Qt thread. Its bus is read there (a socket notifier on the bus's
// poll descriptor), so every event reaches onEvent in order, with no registry in between.
class Pipeline
{
public:
    // Takes the (floating or full) reference to pipeline.
    explicit Pipeline(GstElement *pipeline);
    ~Pipeline();
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    // Stops pipeline at once and deletes it, after the callback it is in, if any: an owner
    // may let go of its pipeline from inside that pipeline's onEvent. Nulls pipeline.
    static void release(Pipeline *&pipeline);

    GstElement *element() const { return m_pipeline.get(); }
    Shared *shared() const { return m_shared.get(); }
    std::shared_ptr<Shared> sharedPtr() const { return m_shared; }

    void probe(
        GstElement *element, const char *pad, GstPadProbeType type, GstPadProbeCallback callback);
    void countFramesAt(GstElement *element);

    bool play(QString *error);
    void sendEos();
    // From now on only a bounded wait for the end is watched.
    void expectEnd() { m_eosSentMs = nowMs(); }
    qint64 endRequestedMs() const { return m_eosSentMs; }

    std::function<void(PipelineEvent, const QString &)> onEvent;

private:
    class BusNotifier;
    void readBus();
    void checkFrames();
    // False once the owner released the pipeline from inside onEvent.
    bool deliver(PipelineEvent event, const QString &text = QString());

    GstRef<GstElement> m_pipeline;
    GstRef<GstBus> m_bus;
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_watchdog;
    qint64 m_started = 0;
    qint64 m_eosSentMs = 0;
    bool m_inCallback = false;
    bool m_released = false;
};

// Pipeline building. An element is made straight into its bin, so a missing plugin leaves
// nothing to release but the bin.
GstElement *addElement(GstBin *bin, const char *factory, const char *name = nullptr);
bool hasFactory(const char *name);
// Sets an enum or string property from text when the element has it.
void setArg(GstElement *element, const char *property, const char *value);
QString missingPlugin(const char *factory);

// The source, made raw at mode's size: src ! capsfilter [! jpegdec], added to bin. Returns
// the capsfilter (where frames are counted) and sets rawOut to the last element.
GstElement *addSource(GstBin *bin, const QString &sourceName, const SourceMode &mode,
    QString *errorName, QString *error, GstElement **rawOut);

} // namespace refcam
