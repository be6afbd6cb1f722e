#include "CameraUIService.h"
#include "camerauiservice_trace_p.h"

#include <AM_ActionData.h>
#include <AM_ActionResults.h>
#include <ConfigManager.h>
#include <KivConfig.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>

#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    , mPhotoResolution(QStringLiteral("MAX"))
    , mVideoQuality(QStringLiteral("HIGHEST"))
    , mHasPostCapturedScreen(QStringLiteral("YES"))
    , mActionReturn(QStringLiteral("ACCEPTED"))
{
    CAMERA_LOG_ENTER();
    if (mActionData) {
        connect(mActionData, &AM_ActionData::signalResultsAvailable, this,
            &CameraUIService::handleResults);
        connect(mActionData, &AM_ActionData::signalActionAborted, this,
            &CameraUIService::handleAbortLaunch);
    }
    CAMERA_LOG_EXIT();
}

CameraUIService::~CameraUIService()
{
    CAMERA_LOG_ENTER();
    if (mActionData) {
        delete mActionData;
        mActionData = nullptr;
    }
    // Destroyed from a handler while exec() waits: let exec() return without touching us.
    if (mDestroyed)
        *mDestroyed = true;
    if (mLaunchLoop)
        mLaunchLoop->exit();
    CAMERA_LOG_EXIT();
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
    if (!mActionData) {
        // Nothing to send with.
    } else if (!QCoreApplication::instance()) {
        CAMERA_LOG("error: no Qt application object, cannot wait for the camera\n");
    } else if (mWaiting) {
        CAMERA_LOG("error: a launch is already waiting, nothing sent\n");
    } else {
        bool destroyed = false;
        mDestroyed = &destroyed;
        mWaiting = true;
        mAnswered = false;
        callUIService(*mActionData);
        // A platform that answers within invoke() has already been heard.
        if (!mAnswered) {
            QEventLoop loop;
            mLaunchLoop = &loop;
            loop.exec();
            if (destroyed) {
                CAMERA_LOG("error: the service was destroyed while waiting\n");
                return 0;
            }
            mLaunchLoop = nullptr;
        }
        mDestroyed = nullptr;
        mWaiting = false;
        CAMERA_LOG("The user actionReturn is %s\n\n", CAMERA_L1(mActionReturn));
        result = mActionReturn == QLatin1String("ACCEPTED");
    }
    CAMERA_LOG_EXIT();
    return result ? 1 : 0;
}

void CameraUIService::callUIService(AM_ActionData &request)
{
    CAMERA_LOG_ENTER();
    request.setObject(QString());
    request.setAction(QStringLiteral("CameraUIService"));
    setupSettingValues(request);
    request.invoke(true);
    CAMERA_LOG("The actionCmd is invoked\n");
    CAMERA_LOG_EXIT();
}

void CameraUIService::setupSettingValues(AM_ActionData &request)
{
    CAMERA_LOG_ENTER();
    QString cameraType;
    if (mCameraType == 1)
        cameraType = QStringLiteral("PHOTO");
    else if (mCameraType == 2)
        cameraType = QStringLiteral("VIDEO");
    else
        cameraType = QStringLiteral("ALL");
    request.setValue(QStringLiteral("cameraType"), cameraType);
    request.setValue(QStringLiteral("videoSizeLimitation"), mVideoSizeLimitation);
    if (mFileLocation.length() > 0)
        request.setValue(QStringLiteral("fileLocation"), mFileLocation);
    request.setValue(QStringLiteral("photoResolution"), mPhotoResolution);
    request.setValue(QStringLiteral("videoQuality"), mVideoQuality);
    request.setValue(QStringLiteral("hasPostCapturedScreen"), mHasPostCapturedScreen);
    CAMERA_LOG_EXIT();
}

void CameraUIService::handleResults(const AM_ActionResults &results)
{
    CAMERA_LOG_ENTER();
    const QString actionReturnKey = QStringLiteral("actionReturn");
    const QString fileLocationKey = QStringLiteral("fileLocationReturn");
    if (results.contains(actionReturnKey))
        mActionReturn = results.value(actionReturnKey);
    if (results.contains(fileLocationKey))
        mFileLocation = results.value(fileLocationKey);
    CAMERA_LOG("actionReturn = %s \n\n", CAMERA_L1(mActionReturn));
    CAMERA_LOG("fileLocationReturn = %s \n\n", CAMERA_L1(mFileLocation));
    leaveLaunchLoop();
    CAMERA_LOG_EXIT();
}

void CameraUIService::handleAbortLaunch()
{
    CAMERA_LOG_ENTER();
    mActionReturn = QStringLiteral("REJECTED");
    leaveLaunchLoop();
    CAMERA_LOG_EXIT();
}

void CameraUIService::leaveLaunchLoop()
{
    // An answer while no launch waits must not end an event loop of the host's.
    if (!mWaiting)
        return;
    mAnswered = true;
    if (mLaunchLoop)
        mLaunchLoop->exit();
}

QByteArray &CameraUIService::data()
{
    CAMERA_LOG_ENTER();
    CAMERA_LOG_EXIT();
    CAMERA_LOG("The mFileLocation is:%s\n", CAMERA_L1(mFileLocation));
    const QByteArray path = mFileLocation.toUtf8();
    // Not fopen(): opening a FIFO (or a device) for reading blocks until a writer comes,
    // which would hang the host. Non-blocking open returns at once; the check below
    // refuses everything but a regular file, where the flag has no effect on reads.
    const int fd = open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    FILE *file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && !file)
        close(fd);
    if (file) {
        // A directory opens for reading on Linux; treat it like a file that cannot be read.
        struct stat st;
        if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
            CAMERA_LOG("error: %s is not a regular file\n", path.constData());
            fclose(file);
            file = nullptr;
        }
    }
    if (file) {
        const qint64 dataSize = QFileInfo(mFileLocation).size();
        CAMERA_LOG("The dataSize is:%d\n", int(dataSize));
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
                CAMERA_LOG("file size (%d) <!=> read size\n", int(dataSize));
                mData.resize(0);
            }
        } else {
            mData = QByteArray();
        }
        fclose(file);
    }
    CAMERA_LOG("The size for data is %d\n", int(mData.size()));
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
    CAMERA_LOG("\n____: %s: strPhoneModel = %s\n", __func__, strPhoneModel.c_str());
    pConfig.reset();

    if (mCameraType == 1) {
        CAMERA_LOG("____: photo mode, return 0\n\n");
        return 0;
    }

    unsigned int quality;
    if (mVideoQuality == QLatin1String("HIGHEST")) {
        quality = 0;
    } else if (mVideoQuality == QLatin1String("MEDIUM")) {
        quality = 1;
    } else if (mVideoQuality == QLatin1String("LOWEST")) {
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
        CAMERA_LOG("\n____: not KR41 or TJ72, strPhoneModel = %s\n", strPhoneModel.c_str());
        info = &m_VideoQualityList_KR41[2];
    }
    CAMERA_LOG("\n____: %d: quality=%d, bitRate=%d, fps=%d, width=%d, height=%d\n\n", __LINE__,
        int(info->quality), int(info->bitRate), int(info->fps), int(info->width),
        int(info->height));

    const uint32_t unEncodedBytesPerSec = (info->bitRate + 12800u) >> 3;
    CAMERA_LOG("\n____: unEncodedBytesPerSec = %d\n", int(unEncodedBytesPerSec));
    const uint32_t frameBytes = info->width * info->height / 5u;
    const uint32_t factor = (info->width == 176 && info->height == 144) ? 3u : 2u;
    const uint32_t unRet = unEncodedBytesPerSec + info->fps * 160u + 1414u + factor * frameBytes;
    CAMERA_LOG("\n____: %s: unRet = %d\n\n", __func__, int(unRet));
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

#include "moc_CameraUIService.cpp"
