// SPDX-License-Identifier: MIT
#include "capturejob.h"

#include "captureoutput.h"
#include "deviceturns.h"
#include "pipeline.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace refcam {

namespace {

int g_jobs = 0; // jobs live on the Qt thread

// Captures at once leave the malloc arenas of their streaming threads holding freed pages;
// once the last capture is gone they go back to the system.
void returnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace

CaptureJob::CaptureJob(const CaptureSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
{
    ++g_jobs;
    ensureGstreamer();
    qRegisterMetaType<refcam::CaptureResult>();
    if (m_settings.format.isEmpty())
        m_settings.format = settings.video ? QStringLiteral("mp4") : QStringLiteral("jpeg");
    m_recordTimer.setSingleShot(true);
    connect(&m_recordTimer, &QTimer::timeout, this, [this] {
        // A stop() waiting for the first frame uses the timer too; that is not the limit.
        if (!m_stopDeferred)
            m_stoppedByTimer = true;
        stop();
    });
}

CaptureJob *CaptureJob::intoPath(
    const CaptureSettings &settings, const QString &path, QObject *parent)
{
    auto *job = new CaptureJob(settings, parent);
    job->m_output = CaptureOutput::toPath(path);
    return job;
}

CaptureJob *CaptureJob::intoFolder(const CaptureSettings &settings, int dirFd, const QString &name,
    const QString &shownPath, QObject *parent)
{
    auto *job = new CaptureJob(settings, parent);
    job->m_output = CaptureOutput::toFolder(dirFd, name, shownPath);
    return job;
}

CaptureJob *CaptureJob::intoFd(const CaptureSettings &settings, int fd, QObject *parent)
{
    auto *job = new CaptureJob(settings, parent);
    job->m_output = CaptureOutput::toFd(fd);
    return job;
}

CaptureJob::~CaptureJob()
{
    cancel();
    if (--g_jobs == 0)
        returnFreedMemory();
}

void CaptureJob::start()
{
    if (m_running)
        return;
    m_running = true;
    m_elapsed.start();
    QString error;
    if (!m_output->open(&error)) {
        fail(QString(), error);
        return;
    }
    if (!m_settings.frame) {
        m_source = probeSource(m_settings.source);
        if (!m_source.ok()) {
            fail(m_source.errorName, m_source.errorMessage);
            return;
        }
    }
    if (m_settings.video)
        startVideo();
    else
        startPhoto();
}

int CaptureJob::capturesAhead() const
{
    const DeviceTurns *turns = DeviceTurns::instance();
    return turns->isWaiting(this) ? turns->ahead(this) : 0;
}

void CaptureJob::succeed(
    const QString &description, qint64 bytes, const QString &endedBy, qint64 durationMs)
{
    qint64 size = 0;
    QString error;
    if (!m_output->commit(&size, &error)) {
        fail(QString(), error);
        return;
    }
    m_running = false;
    CaptureResult result;
    result.ok = true;
    result.bytes = bytes >= 0 ? bytes : size;
    result.description = description;
    result.endedBy = endedBy;
    result.durationMs = durationMs;
    finish(result);
}

void CaptureJob::fail(const QString &errorName, const QString &message)
{
    if (!m_running)
        return;
    m_running = false;
    disconnect(m_liveConnection);
    m_recordTimer.stop();
    Pipeline::release(m_pipeline);
    m_appsink = nullptr;
    if (m_output)
        m_output->discard();
    CaptureResult result;
    result.errorName = errorName;
    result.message = message;
    finish(result);
}

// Always queued: the owner may delete the job from its slot.
void CaptureJob::finish(const CaptureResult &result)
{
    DeviceTurns::instance()->leave(this);
    QMetaObject::invokeMethod(
        this, [this, result] { Q_EMIT finished(result); }, Qt::QueuedConnection);
}

void CaptureJob::cancel()
{
    const bool wasRunning = m_running;
    m_running = false;
    DeviceTurns::instance()->leave(this);
    disconnect(m_liveConnection);
    m_recordTimer.stop();
    Pipeline::release(m_pipeline);
    m_appsink = nullptr;
    if (wasRunning && m_output)
        m_output->discard();
    // No finished() for a cancelled job, even one already queued.
    blockSignals(true);
}

} // namespace refcam
