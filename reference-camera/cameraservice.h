#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QHash>
#include <QString>

class QDBusServiceWatcher;
class QTimer;

namespace refcam {

QString defaultBusName();
QString objectPath();
QString interfaceName();

// How the camera behaves; the non-default settings simulate users and faulty cameras.
struct Options
{
    QString busName;
    QString outputDir; // empty: the standard pictures / movies folder
    QString actionReturn = QStringLiteral("ACCEPTED");
    bool sendActionReturn = true;
    bool sendFileLocation = true;
    bool writeFile = true;
    int delayMs = 0;
    bool exitWithoutAnswer = false;
    QString errorName;
    bool exitAfterOne = false;
};

// What a request asked for, after tolerant decoding of the values map.
struct CaptureRequest
{
    int number = 0;
    QDBusMessage message;
    QString action;
    QString caller; // unique name of the calling connection
    bool video = false;
    qint64 sizeLimit = 0;
    QString fileLocation;
    bool hasPhotoResolution = false;
    QString photoResolution;
    QString videoQuality;
};

// A virtual object rather than an adaptor: the raw message keeps the wire order of the map.
class CameraService : public QDBusVirtualObject
{
    Q_OBJECT
public:
    explicit CameraService(const Options &options, QObject *parent = nullptr);

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private:
    // A capture that has been asked for but not answered yet (held by --delay).
    struct Pending
    {
        CaptureRequest request;
        QDBusConnection connection { QString() };
        QTimer *timer = nullptr;
    };

    void dispatch(const QDBusMessage &message, QDBusConnection connection);
    void cancel(const QDBusMessage &message, QDBusConnection connection);
    void hold(const CaptureRequest &request, QDBusConnection connection);
    Pending take(int number);
    void callerLeft(const QString &caller);
    void answer(const CaptureRequest &request, QDBusConnection connection);
    bool capture(const CaptureRequest &request, QString *path);
    void send(const QDBusMessage &call, const QDBusMessage &reply, QDBusConnection connection);
    void quitOnceFlushed(QDBusConnection connection);

    Options m_options;
    int m_requestCount = 0;
    bool m_quitting = false;
    QHash<int, Pending> m_pending;
    QDBusServiceWatcher *m_callers = nullptr;
};

} // namespace refcam
