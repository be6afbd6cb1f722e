#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QString>

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
    void dispatch(const QDBusMessage &message, QDBusConnection connection);
    void answer(const CaptureRequest &request, QDBusConnection connection);
    bool capture(const CaptureRequest &request, QString *path);
    void send(const QDBusMessage &call, const QDBusMessage &reply, QDBusConnection connection);
    void quitOnceFlushed(QDBusConnection connection);

    Options m_options;
    int m_requestCount = 0;
    bool m_quitting = false;
};

} // namespace refcam
