// SPDX-License-Identifier: MIT
#include "CameraUIService.h"
#include "CameraUIService_p.h"
#include "camerauiservice_trace_p.h"
#include "kivaction_names_p.h"
#include "safefile_p.h"

#include <AM_ActionData.h>
#include <AM_ActionResults.h>
#include <ConfigManager.h>
#include <KivConfig.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QPointer>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace {

#ifdef AM_ACTIONDATA_HAS_LAUNCH_CONTROL
// A launch and a capability query that the platform could not complete end alike.
CameraOutcome outcomeForAbort(AM_ActionData::AbortReason reason)
{
    switch (reason) {
    case AM_ActionData::AbortNoHandler:
        return CameraOutcomeNoCamera;
    case AM_ActionData::AbortHandlerFailed:
        return CameraOutcomeCameraFailed;
    case AM_ActionData::AbortForgedReply:
        return CameraOutcomeForged;
    case AM_ActionData::AbortNoBus:
        return CameraOutcomeNoBus;
#ifdef AM_ACTIONDATA_HAS_CAPABILITIES
    case AM_ActionData::AbortTimedOut:
        return CameraOutcomeTimedOut;
#endif
    case AM_ActionData::AbortUnknown:
        break;
    }
    return CameraOutcomeAborted;
}
#endif

} // namespace

const VideoQualityInfo CameraUIService::m_VideoQualityList_TJ72[3] = {
    { 0, 256000, 30, 176, 144 },
    { 1, 256000, 15, 176, 144 },
    { 2, 64000, 15, 176, 144 },
};

const VideoQualityInfo CameraUIService::m_VideoQualityList_KR41[3] = {
    { 0, 512000, 30, 320, 240 },
    { 1, 256000, 15, 176, 144 },
    { 2, 64000, 15, 176, 144 },
};

CameraUIService::CameraUIService(CameraType type, int videoSizeLimitation)
    : QObject(nullptr)
    , mActionData(new AM_ActionData)
    , mCameraType(type)
    , mVideoSizeLimitation(videoSizeLimitation)
    , mFileLocation(QLatin1String(""))
    , mPhotoResolution(KivAction::Value::max())
    , mVideoQuality(KivAction::Value::highest())
    , mHasPostCapturedScreen(KivAction::Value::yes())
    , mActionReturn(KivAction::Value::accepted())
    , d(new CameraUIServicePrivate(this))
{
    CAMERA_LOG_ENTER();
    if (mActionData)
        d->connectRequest();
    CAMERA_LOG_EXIT();
}

CameraUIService::~CameraUIService()
{
    CAMERA_LOG_ENTER();
    // A launch still out ends here: the camera is told, and no callback runs. Destroyed
    // from a handler while exec() waits: exec() returns without touching us.
    if (const std::shared_ptr<CameraLaunch> launch = d->current) {
        launch->finished = nullptr;
        d->abandon(CameraOutcomeAborted, QStringLiteral("the service was destroyed"));
    }
    delete d;
    if (mActionData) {
        delete mActionData;
        mActionData = nullptr;
    }
    CAMERA_LOG_EXIT();
}

QString CameraUIService::errorMessage() const
{
    return QString::fromUtf8(d->errorMessage);
}

QVariantMap CameraUIService::settingsUsed() const
{
    return d->settingsUsed;
}

bool CameraUIService::isTraceOn()
{
    return CameraTrace::enabled();
}

void CameraUIService::setFileLocation(QString fileLocation)
{
    CAMERA_LOG_ENTER();
    CAMERA_LOG_EXIT();
    mFileLocation = fileLocation;
}

void CameraUIService::setPhotoResolution(QString photoResolution)
{
    CAMERA_LOG_ENTER();
    CAMERA_LOG_EXIT();
    mPhotoResolution = photoResolution;
}

void CameraUIService::setVideoQuality(QString videoQuality)
{
    CAMERA_LOG_ENTER();
    CAMERA_LOG_EXIT();
    mVideoQuality = videoQuality;
}

void CameraUIService::setHasPostCapturedScreen(QString hasPostCapturedScreen)
{
    CAMERA_LOG_ENTER();
    CAMERA_LOG_EXIT();
    mHasPostCapturedScreen = hasPostCapturedScreen;
}

int CameraUIService::exec()
{
    CAMERA_LOG_ENTER();
    bool result = false;
    if (const std::shared_ptr<CameraLaunch> launch = d->start(nullptr, __func__)) {
        if (!launch->ended) {
            // A handler may destroy the service while the loop runs, as with QDialog::exec().
            const QPointer<CameraUIService> guard(this);
            QEventLoop loop;
            launch->loop = &loop;
            fflush(stdout);
            loop.exec();
            if (!guard) {
                CAMERA_LOG("error: the service was destroyed while waiting\n");
                return 0;
            }
            launch->loop = nullptr;
            // Something else ended our loop: the application is quitting, or a handler
            // left every loop. The camera has not answered; that is not an acceptance.
            if (!launch->ended) {
                CAMERA_LOG("error: the wait ended before the camera answered\n");
                d->interrupt();
            }
        }
        CAMERA_LOG("The user actionReturn is %s\n\n", CAMERA_L1(launch->actionReturn));
        result = launch->accepted;
    }
    CAMERA_LOG_EXIT();
    return result ? 1 : 0;
}

void CameraUIService::callUIService(AM_ActionData &request)
{
    CAMERA_LOG_ENTER();
    request.setObject(QString());
    request.setAction(KivAction::cameraAction());
    setupSettingValues(request);
    // A launch with a location offers the camera a file the host made itself, so the
    // camera never writes a path with its own rights (see doc/security.md).
    if (d->current && mFileLocation.length() > 0) {
#ifdef AM_ACTIONDATA_HAS_FILE_DESCRIPTOR
        auto handoff = std::make_unique<FileHandoff>();
        if (!handoff->create(mFileLocation))
            CAMERA_LOG("no file descriptor sent: %s\n", CAMERA_L1(handoff->why()));
        else if (!request.setFileDescriptor(KivAction::Key::fileDescriptor(), handoff->fd()))
            CAMERA_LOG("no file descriptor sent: the bus connection cannot pass one\n");
        else
            d->handoff = std::move(handoff);
#else
        CAMERA_LOG("no file descriptor sent: the platform library cannot pass one\n");
#endif
    }
    request.invoke(true);
    CAMERA_LOG("The actionCmd is invoked\n");
    CAMERA_LOG_EXIT();
}

void CameraUIService::setupSettingValues(AM_ActionData &request)
{
    CAMERA_LOG_ENTER();
    QString cameraType;
    if (mCameraType == 1)
        cameraType = KivAction::Value::photo();
    else if (mCameraType == 2)
        cameraType = KivAction::Value::video();
    else
        cameraType = KivAction::Value::all();
    request.setValue(KivAction::Key::cameraType(), cameraType);
    request.setValue(KivAction::Key::videoSizeLimitation(), mVideoSizeLimitation);
    if (mFileLocation.length() > 0)
        request.setValue(KivAction::Key::fileLocation(), mFileLocation);
    request.setValue(KivAction::Key::photoResolution(), mPhotoResolution);
    request.setValue(KivAction::Key::videoQuality(), mVideoQuality);
    request.setValue(KivAction::Key::hasPostCapturedScreen(), mHasPostCapturedScreen);
    // Only when asked for: a camera that reads the values strictly in order is not upset.
    if (d->videoDurationLimit > 0)
        request.setValue(KivAction::Key::videoDurationLimit(), d->videoDurationLimit);
    // Lets a cancel end this launch alone, not the other services' of this process.
    if (d->current)
        request.setValue(KivAction::Key::launchId(), quint64(d->current->id));
    CAMERA_LOG_EXIT();
}

void CameraUIService::handleResults(const AM_ActionResults &results)
{
    CAMERA_LOG_ENTER();
    const QString actionReturnKey = KivAction::Key::actionReturn();
    const QString fileLocationKey = KivAction::Key::fileLocationReturn();
    if (results.contains(actionReturnKey))
        mActionReturn = results.value(actionReturnKey);
    if (results.contains(fileLocationKey))
        mFileLocation = results.value(fileLocationKey);
    d->descriptorUsed
        = results.value(KivAction::Key::fileDescriptorUsed()) == KivAction::Value::yes();
    CAMERA_LOG("actionReturn = %s \n\n", CAMERA_L1(mActionReturn));
    CAMERA_LOG("fileLocationReturn = %s \n\n", CAMERA_L1(mFileLocation));
    const bool accepted = mActionReturn == KivAction::Value::accepted();
    if (d->current) {
        // Only for the launch that waits: a stray answer changes nothing of the host's.
        const std::pair<QString, QString> used[] = {
            { KivAction::Key::photoResolution(), KivAction::Key::photoResolutionUsed() },
            { KivAction::Key::videoQuality(), KivAction::Key::videoQualityUsed() },
        };
        for (const auto &entry : used) {
            if (results.contains(entry.second))
                d->settingsUsed.insert(entry.first, results.value(entry.second));
        }
        d->readVideoAnswer(results);
    }
    // The user's no and the camera's failure are different things for a host to say.
    const bool failed = results.value(actionReturnKey) == KivAction::Value::failed();
    // Only a camera that said ACCEPTED itself vouches for a file; an answer without an
    // action return keeps the earlier one, as it always has.
    d->saidAccepted = results.value(actionReturnKey) == KivAction::Value::accepted();
    // The camera's own words for a capture it did not take; nothing to say for one it did.
    d->answered(
        accepted ? CameraOutcomeAccepted : (failed ? CameraOutcomeFailed : CameraOutcomeRejected),
        accepted ? QString() : results.value(KivAction::Key::failureReason(), QLatin1String("")));
    CAMERA_LOG_EXIT();
}

void CameraUIService::handleAbortLaunch()
{
    CAMERA_LOG_ENTER();
    mActionReturn = KivAction::Value::rejected();
    CameraOutcome outcome = CameraOutcomeAborted;
    QString message = QStringLiteral("the platform aborted the launch without a reason");
#ifdef AM_ACTIONDATA_HAS_LAUNCH_CONTROL
    outcome = outcomeForAbort(mActionData->abortReason());
    if (!mActionData->abortMessage().isEmpty())
        message = mActionData->abortMessage();
#endif
    d->answered(outcome, message);
    CAMERA_LOG_EXIT();
}

QByteArray &CameraUIService::data()
{
    CAMERA_LOG_ENTER();
    CAMERA_LOG_EXIT();
    CAMERA_LOG("The mFileLocation is:%s\n", CAMERA_L1(mFileLocation));
    // One lookup of the path (safefile_p.h): a FIFO or device swapped in never blocks the
    // host, and the size is that of the file that is read.
    SafeFile::File opened;
    const SafeFile::Status status = d->openCapture(&opened);
    FILE *file = nullptr;
    if (status == SafeFile::Status::Ok) {
        file = fdopen(opened.fd(), "rb");
        if (file)
            opened.release();
    }
    if (file) {
        const qint64 dataSize = opened.size();
        CAMERA_LOG("The dataSize is:%lld\n", static_cast<long long>(dataSize));
        // The size is an unsigned 32-bit count, and Qt must be able to hold it.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        const qint64 maxSize = std::numeric_limits<uint32_t>::max();
#else
        const qint64 maxSize = std::numeric_limits<int>::max() - 64;
#endif
        bool sized = false;
        if (dataSize < 0 || dataSize > maxSize) {
            CAMERA_LOG("error: file size (%lld) is more than the buffer can hold\n",
                static_cast<long long>(dataSize));
        } else {
            try {
                // Drop the old bytes first, so a shared buffer is not copied just to be
                // overwritten.
                if (mData.size() != dataSize || !mData.isDetached())
                    mData = QByteArray();
                mData.resize(static_cast<decltype(mData.size())>(dataSize));
                sized = mData.size() == dataSize;
            } catch (const std::bad_alloc &) {
                sized = false;
            }
            if (!sized)
                CAMERA_LOG("error: cannot allocate %lld bytes for the file\n",
                    static_cast<long long>(dataSize));
        }
        if (sized) {
            const size_t readSize = fread(mData.data(), 1, static_cast<size_t>(mData.size()), file);
            if (readSize != static_cast<size_t>(dataSize)) {
                CAMERA_LOG("file size (%lld) <!=> read size\n", static_cast<long long>(dataSize));
                mData.resize(0);
            }
        } else {
            mData = QByteArray();
        }
        fclose(file);
    }
    CAMERA_LOG("The size for data is %lld\n", static_cast<long long>(mData.size()));
    return mData;
}

unsigned int CameraUIService::minDataSize()
{
    CAMERA_LOG_ENTER();
    std::string strPhoneModel;
    bool bOk = false;
    std::unique_ptr<ConfigManager> pConfig(
        new ConfigManager("tq_phonemodel.cfg", bOk, false, "/usr/securesetup", false));
    if (!bOk)
        return 0;
    pConfig->getSettingInfo("PHONE_MODEL", "PhoneModelID", strPhoneModel);
    CAMERA_LOG("\n____: %s: strPhoneModel = %s\n", __func__, CAMERA_STD(strPhoneModel));
    pConfig.reset();

    if (mCameraType == 1) {
        CAMERA_LOG("____: photo mode, return 0\n\n");
        return 0;
    }

    unsigned int quality;
    if (mVideoQuality == KivAction::Value::highest()) {
        quality = 0;
    } else if (mVideoQuality == KivAction::Value::medium()) {
        quality = 1;
    } else if (mVideoQuality == KivAction::Value::lowest()) {
        quality = 2;
    } else {
        CAMERA_LOG("error: invalid video quality\n");
        return 0;
    }
    CAMERA_LOG("\n____: videoQuality = %d\n", int(quality));

    const VideoQualityInfo *info;
    if (strPhoneModel.find("KR41") != std::string::npos
        || strPhoneModel.find("Tarvo") != std::string::npos) {
        info = &m_VideoQualityList_KR41[quality];
    } else if (strPhoneModel.find("TJ72") != std::string::npos
        || strPhoneModel.find("Bexi") != std::string::npos) {
        info = &m_VideoQualityList_TJ72[quality];
    } else {
        CAMERA_LOG("\n____: not KR41 or TJ72, strPhoneModel = %s\n", CAMERA_STD(strPhoneModel));
        info = &m_VideoQualityList_KR41[2];
    }
    CAMERA_LOG("\n____: %d: quality=%d, bitRate=%d, fps=%d, width=%d, height=%d\n\n", __LINE__,
        int(info->quality), int(info->bitRate), int(info->fps), int(info->width),
        int(info->height));

    const uint32_t unEncodedBytesPerSec = (info->bitRate + 12800u) >> 3;
    CAMERA_LOG("\n____: unEncodedBytesPerSec = %u\n", unsigned(unEncodedBytesPerSec));
    const uint32_t frameBytes = info->width * info->height / 5u;
    const uint32_t factor = (info->width == 176 && info->height == 144) ? 3u : 2u;
    const uint32_t unRet = unEncodedBytesPerSec + info->fps * 160u + 1414u + factor * frameBytes;
    CAMERA_LOG("\n____: %s: unRet = %u\n\n", __func__, unsigned(unRet));
    return unRet;
}

bool CameraUIService::getAutoPostSetting(int cameraType)
{
    CAMERA_LOG_ENTER();
    KivConfig config(
        QStringLiteral("/kivlocal/download/appwrite/setup/kiv_camera_resource.cfg"), false);
    CAMERA_LOG_EXIT();
    const QString key
        = cameraType == 1 ? QStringLiteral("photoAutoBlog") : QStringLiteral("videoAutoBlog");
    return config.readBoolEntry(QStringLiteral("cameraSetting"), key, false);
}

QVariantMap CameraUIService::capabilities()
{
    CAMERA_LOG_ENTER();
    QVariantMap answer;
    d->capabilitiesAnswered = d->queryCapabilities(&answer, __func__);
    CAMERA_LOG_EXIT();
    return answer;
}

// Launch bookkeeping. Every answer belongs to exactly one launch: a launch that is given
// up tells the request object to forget it, so its late answer never reaches the slots.

CameraUIServicePrivate::CameraUIServicePrivate(CameraUIService *service)
    : q(service)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] {
        abandon(CameraOutcomeTimedOut, QStringLiteral("no answer within %1 ms").arg(timeoutMs));
    });
}

CameraUIServicePrivate::~CameraUIServicePrivate() = default;

std::shared_ptr<CameraLaunch> CameraUIServicePrivate::start(
    std::function<void(bool)> finished, const char *caller)
{
    if (!q->mActionData)
        return nullptr;
    if (!QCoreApplication::instance()) {
        CAMERA_LOG_AS(caller, "error: no Qt application object, cannot wait for the camera\n");
        outcome = CameraOutcomeRefused;
        errorMessage = "no Qt application object: create a QCoreApplication (or call "
                       "InitCameraApplication) before launching";
        return nullptr;
    }
    if (current) {
        // The waiting launch goes on, outcome and all.
        CAMERA_LOG_AS(caller, "error: a launch is already waiting, nothing sent\n");
        return nullptr;
    }
    static std::atomic<quint64> lastLaunchId { 0 };
    auto launch = std::make_shared<CameraLaunch>();
    launch->id = ++lastLaunchId;
    launch->finished = std::move(finished);
    current = launch;
    handoff.reset();
    committed.reset();
    descriptorUsed = false;
    saidAccepted = false;
    videoDurationMs = 0;
    videoEndedBy.clear();
    outcome = CameraOutcomeNone;
    errorMessage.clear();
    settingsUsed.clear();
    if (timeoutMs > 0) {
        // A thread Qt did not start (a host's own, a Python thread) gets its event
        // dispatcher with its first event loop; the timer needs one now.
        if (!QAbstractEventDispatcher::instance())
            QEventLoop ensureDispatcher;
        timer.start(timeoutMs);
    }
    q->callUIService(*q->mActionData);
    return launch;
}

void CameraUIServicePrivate::answered(CameraOutcome how, const QString &message)
{
    // An answer while no launch waits must not end anything of the host's.
    if (!current)
        return;
#ifdef AM_ACTIONDATA_HAS_LAUNCH_CONTROL
    // Given up without the camera's own answer (a forged reply, a broken or failed one):
    // the camera may still be capturing, or showing its window. Tell it, as a cancel or a
    // timeout does. Nobody to tell when there is no camera or no bus.
    if (how == CameraOutcomeForged || how == CameraOutcomeCameraFailed
        || how == CameraOutcomeAborted)
        q->mActionData->cancel();
#endif
    finish(how, message);
}

void CameraUIServicePrivate::cancel()
{
    if (current)
        abandon(CameraOutcomeCancelled, QStringLiteral("cancelled by the host"));
}

void CameraUIServicePrivate::interrupt()
{
    if (current)
        abandon(CameraOutcomeInterrupted,
            QStringLiteral("the event loop was left before the camera answered (the "
                           "application quit, or a handler ended every loop)"));
}

void CameraUIServicePrivate::abandon(CameraOutcome how, const QString &message)
{
    if (!current)
        return;
#ifdef AM_ACTIONDATA_HAS_LAUNCH_CONTROL
    q->mActionData->cancel();
#else
    // Without a cancel in the platform, a new request object is the only way to be sure
    // the old one's answer goes nowhere.
    delete q->mActionData;
    q->mActionData = new AM_ActionData;
    connectRequest();
#endif
    q->mActionReturn = KivAction::Value::rejected();
    finish(how, message);
}

bool CameraUIServicePrivate::wait(int milliseconds)
{
    const std::shared_ptr<CameraLaunch> launch = current;
    if (!launch)
        return true;
    const QPointer<CameraUIService> guard(q);
    QEventLoop loop;
    bool sliceOver = false;
    QTimer slice;
    slice.setSingleShot(true);
    QObject::connect(&slice, &QTimer::timeout, &loop, [&] {
        sliceOver = true;
        loop.exit();
    });
    if (milliseconds >= 0)
        slice.start(milliseconds);
    // Called again from a handler while one waits: the inner one is told of the end, and
    // passes it on.
    QEventLoop *const outer = launch->waitLoop;
    launch->waitLoop = &loop;
    loop.exec();
    launch->waitLoop = outer;
    if (outer && launch->ended)
        outer->exit();
    if (!guard || launch->ended)
        return true;
    if (sliceOver)
        return false;
    // As in exec(): the application is quitting, or a handler left every loop.
    interrupt();
    return true;
}

void CameraUIServicePrivate::readVideoAnswer(const QMap<QString, QString> &results)
{
    const QString durationKey = KivAction::Key::videoDurationMs();
    bool ok = false;
    const int duration = results.value(durationKey).toInt(&ok);
    videoDurationMs = ok && duration > 0 ? duration : 0;
    videoEndedBy = results.value(KivAction::Key::videoEndedBy());
    const bool accepted = results.value(KivAction::Key::actionReturn(), q->mActionReturn)
        == KivAction::Value::accepted();
    if (accepted && videoDurationLimit > 0 && !results.contains(durationKey))
        CAMERA_LOG_AS("handleResults",
            "the camera did not report a duration (videoDurationLimit %d ms may have been "
            "ignored)\n",
            videoDurationLimit);
}

void CameraUIServicePrivate::connectRequest()
{
    connect(
        q->mActionData, &AM_ActionData::signalResultsAvailable, q, &CameraUIService::handleResults);
    connect(q->mActionData, &AM_ActionData::signalActionAborted, q,
        &CameraUIService::handleAbortLaunch);
}

bool CameraUIServicePrivate::queryCapabilities(QVariantMap *answer, const char *caller)
{
    answer->clear();
    if (!QCoreApplication::instance()) {
        CAMERA_LOG_AS(caller, "error: no Qt application object, cannot ask the camera\n");
        outcome = CameraOutcomeRefused;
        errorMessage = "no Qt application object: create a QCoreApplication (or call "
                       "InitCameraApplication) before asking the camera";
        return false;
    }
#ifdef AM_ACTIONDATA_HAS_CAPABILITIES
    q->mActionData->setObject(QString());
    q->mActionData->setAction(KivAction::cameraAction());
    if (!q->mActionData->queryCapabilities(timeoutMs, answer)) {
        capabilitiesFailed(
            q->mActionData->capabilitiesFailure(), q->mActionData->capabilitiesMessage(), caller);
        return false;
    }
    if (answer->isEmpty())
        CAMERA_LOG_AS(caller, "the camera does not tell what it can do\n");
    else
        CAMERA_LOG_AS(caller, "the camera told %d capabilities\n", int(answer->size()));
#else
    CAMERA_LOG_AS(caller, "the platform cannot ask the camera what it can do\n");
#endif
    return true;
}

void CameraUIServicePrivate::capabilitiesFailed(
    int reason, const QString &message, const char *caller)
{
#ifdef AM_ACTIONDATA_HAS_LAUNCH_CONTROL
    outcome = outcomeForAbort(AM_ActionData::AbortReason(reason));
#else
    Q_UNUSED(reason)
    outcome = CameraOutcomeAborted;
#endif
    errorMessage = message.toUtf8();
    CAMERA_LOG_AS(caller, "error: cannot ask the camera: %s\n", CAMERA_L1(message));
}

QByteArray CameraUIServicePrivate::toJson(const QVariantMap &capabilities)
{
    return QJsonDocument::fromVariant(capabilities).toJson(QJsonDocument::Compact);
}

void CameraUIServicePrivate::finish(CameraOutcome how, const QString &message)
{
    const std::shared_ptr<CameraLaunch> launch = std::move(current);
    current.reset();
    timer.stop();
    QString why = message;
    if (how == CameraOutcomeAccepted && !placeCapture(&why)) {
        how = CameraOutcomeFailed;
        q->mActionReturn = KivAction::Value::failed();
    }
    // Every other ending leaves the target as it was.
    if (const std::unique_ptr<FileHandoff> offered = std::move(handoff))
        offered->discard();
    outcome = how;
    errorMessage = how == CameraOutcomeAccepted ? QByteArray("") : why.toUtf8();
    launch->ended = true;
    launch->outcome = how;
    launch->accepted = how == CameraOutcomeAccepted;
    launch->actionReturn = q->mActionReturn;
    if (launch->waitLoop)
        launch->waitLoop->exit();
    if (launch->loop) {
        launch->loop->exit();
    } else if (launch->finished) {
        // Never from inside the call that ended the launch: the callback may destroy the
        // service or start again. Dropped with the service if it is destroyed first.
        QMetaObject::invokeMethod(
            this,
            [launch] {
                auto finished = std::move(launch->finished);
                launch->finished = nullptr;
                if (finished)
                    finished(launch->accepted);
            },
            Qt::QueuedConnection);
    }
}

SafeFile::Status CameraUIServicePrivate::openCapture(SafeFile::File *file)
{
    const QString &location = q->mFileLocation;
    SafeFile::Status status = file->open(location.toUtf8().constData());
    // A folder renamed or a file planted at the path since the capture was committed: the
    // host gets the capture, not whatever the path names now. Once the host names another
    // location, that is what it asks for.
    if (committed && location == committed->target()
        && !(status == SafeFile::Status::Ok && committed->isFile(file->fd()))) {
        CAMERA_LOG_AS("data",
            "%s is not the file the capture was committed to; reading the committed file\n",
            CAMERA_L1(location));
        status = file->open(
            QByteArray("/proc/self/fd/" + QByteArray::number(committed->fd())).constData());
        if (status != SafeFile::Status::Ok)
            CAMERA_LOG_AS("data", "error: cannot open the committed capture again: %s\n",
                std::strerror(file->error()));
        return status;
    }
    if (status == SafeFile::Status::NotRegular)
        CAMERA_LOG_AS("data", "error: %s is not a regular file\n", CAMERA_L1(location));
    return status;
}

bool CameraUIServicePrivate::placeCapture(QString *why)
{
    if (std::unique_ptr<FileHandoff> offered = std::move(handoff)) {
        // Bytes in our file are the capture, whether or not the camera said so: thrown
        // away, the host would be told of a file that is not there.
        bool written = descriptorUsed;
        if (!written && offered->written()) {
            CAMERA_LOG_AS("finish",
                "the camera wrote through the descriptor without saying fileDescriptorUsed; "
                "the capture is kept\n");
            written = true;
        }
        if (written) {
            if (!offered->commit()) {
                CAMERA_LOG_AS("finish", "error: %s\n", CAMERA_L1(offered->why()));
                *why = offered->why() + QStringLiteral("; the target is unchanged");
                return false;
            }
            q->mFileLocation = offered->target();
            CAMERA_LOG_AS("finish", "the capture is at %s\n", CAMERA_L1(q->mFileLocation));
            committed = std::move(offered);
            return true;
        }
        offered->discard();
    }
    // A camera that writes the path itself left its file there. Without any location, or
    // without the camera's own ACCEPTED, the answer cannot be checked and stands as it is.
    const QString location = q->mFileLocation;
    if (!saidAccepted || location.isEmpty() || QFileInfo::exists(FileHandoff::localPath(location)))
        return true;
    *why = QStringLiteral("the camera reported ACCEPTED but left no file at %1").arg(location);
    CAMERA_LOG_AS("finish", "error: %s\n", CAMERA_L1(*why));
    return false;
}

#include "moc_CameraUIService.cpp"
#include "moc_CameraUIService_p.cpp"
