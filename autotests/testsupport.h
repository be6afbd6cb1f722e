// SPDX-License-Identifier: MIT
#ifndef CAMERA_TESTSUPPORT_H
#define CAMERA_TESTSUPPORT_H

#include "kivaction_names_p.h"
#include <QByteArray>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QThread>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <vector>

// How long a row waits, by what it waits for: generous on a loaded two-core machine, yet
// short enough that a fault fails its row within half a minute, not at the suite's limit.
// A row waiting for longer work (a recording, a delay it asked for) adds that work's length.
namespace Bound {
// The bus, this process or a peer inside it: a reply, a name that goes, a signal.
constexpr int quick = 10000;
// A camera process that starts or stops, a photo, a short clip, a tool run once.
constexpr int camera = 20000;
} // namespace Bound

// Waits, spinning the event loop, until expr holds or ms have passed, then verifies it.
// Unlike QTRY_*_WITH_TIMEOUT, which waits three times its bound before it fails (it looks
// again to report how long would have done), these fail at their bound.
#define WAIT_VERIFY2(expr, message, ms)                                                            \
    do {                                                                                           \
        static_cast<void>(QTest::qWaitFor([&]() -> bool { return (expr); }, (ms)));                \
        QVERIFY2((expr), message);                                                                 \
    } while (false)
#define WAIT_VERIFY(expr, ms) WAIT_VERIFY2(expr, "not within " #ms " ms", ms)
#define WAIT_COMPARE(actual, expected, ms)                                                         \
    do {                                                                                           \
        static_cast<void>(                                                                         \
            QTest::qWaitFor([&]() -> bool { return (actual) == (expected); }, (ms)));              \
        QCOMPARE(actual, expected);                                                                \
    } while (false)

// Redirects the process's standard output (fd 1) to a file while alive, so the
// printf trace of the library can be compared line by line.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    // Everything written since construction or the previous take().
    QByteArray take();
    // take(), split into lines with the line numbers of "Camera LOG in f:N:" blanked to
    // "f:#:", so tests do not break when code moves.
    QStringList takeLines();

private:
    int m_savedFd = -1;
    QByteArray m_path;
    qint64 m_offset = 0;
};

// One value of a request as it went over the wire.
struct WireValue
{
    QString key;
    QString signature; // "s", "i", ...
    QVariant value;
};
QList<WireValue> wireValues(const QDBusMessage &invoke);
// The "launchId" value of a request, 0 when it has none.
quint64 launchIdOf(const QDBusMessage &invoke);

// Plays the camera application on its own bus connection, inside the test process.
class TestPeer : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kiv.Action")
public:
    enum Mode
    {
        Reply, // answer with results()
        Hold, // keep the call pending until release() or disconnectNow()
        ErrorReply,
        WrongSignature, // answer with a plain string
        Forged, // a third connection answers with a guessed serial; we never do
        ForgedError, // the same with an error
    };

    explicit TestPeer(
        const QString &serviceName = KivAction::cameraBusName(), QObject *parent = nullptr);
    ~TestPeer() override;

    bool isRegistered() const { return m_registered; }
    QString uniqueName() const;

    Mode mode = Reply;
    QMap<QString, QString> results;
    QMap<QString, QString> forgedResults;
    // In the forged modes: once the bus has handled the forgery, answer for real.
    bool answerAfterForgery = false;

    // Answers CancelLaunch with UnknownMethod, as a camera older than that method does.
    bool lacksCancelLaunch = false;
    // GetCapabilities is answered by mode as Invoke is, with capabilities. A peer that does
    // not serve it is an older camera: it answers as QtDBus does for a method it lacks.
    bool servesCapabilities = false;
    QVariantMap capabilities;

    QList<QDBusMessage> requests;
    // "Cancel <action>", "CancelLaunch <action> <launchId>" or "refused CancelLaunch", in
    // the order received.
    QStringList cancels;
    // Answers the held call with results() (capabilities for GetCapabilities).
    void release();
    // Leaves the bus as a crashing camera would.
    void disconnectNow();

public Q_SLOTS:
    void Invoke(const QString &action, const QVariantMap &values);
    void Cancel(const QString &action);
    void CancelLaunch(const QString &action, qulonglong launchId);
    void GetCapabilities(const QString &action);

Q_SIGNALS:
    void requestReceived();
    void cancelReceived();

private:
    void answer(const QDBusMessage &call, const QVariant &reply);

    QString m_connectionName;
    QString m_serviceName;
    bool m_registered = false;
    QDBusMessage m_held;
};

// A TestPeer answering from a thread of its own, for calls that block the test's thread
// (a blocking call cannot be answered by a peer that waits for the same thread).
// Set its fields before the call is made.
class ThreadedPeer
{
public:
    explicit ThreadedPeer(const QString &serviceName = KivAction::cameraBusName());
    ~ThreadedPeer();
    TestPeer *operator->() const { return m_peer; }
    TestPeer *peer() const { return m_peer; }

private:
    QThread m_thread;
    TestPeer *m_peer;
};

class RawPeerConnection;

// A camera that talks to the bus through a raw socket, so it can put bytes on the wire
// that no D-Bus library would send: a reply whose string is not valid UTF-8. It answers
// every Invoke with { actionReturn: ACCEPTED, fileLocationReturn: <location> }.
class RawPeer
{
public:
    explicit RawPeer(const QString &serviceName = KivAction::cameraBusName());
    ~RawPeer();

    // Connects, authenticates and takes the name; false with error otherwise.
    bool start(const QByteArray &location, QString *error);
    void stop();

    bool replied() const;
    bool droppedByBus() const; // the bus hung up on it
    bool finished() const;

private:
    std::unique_ptr<RawPeerConnection> d;
};

// What happens to the entries of one folder (inotify), for tests that must see that a
// file was never opened or written in place.
class FolderWatch
{
public:
    explicit FolderWatch(const QString &folder);
    ~FolderWatch();
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;
    bool isValid() const { return m_fd >= 0; }
    // "open NAME", "create NAME", "modify NAME", "moved-to NAME", "delete NAME", in order,
    // for everything since the previous call.
    QStringList take();

private:
    int m_fd = -1;
};

// A file's bytes, or "(missing)"; and a file written whole.
QByteArray fileBytes(const QString &path);
bool putFile(const QString &path, const QByteArray &data);

// The path of an empty file that exists for the whole test run, made at the first call
// for name: what a camera that answers ACCEPTED names, since the library checks it is there.
QString capturedFile(const QString &name);

// The hidden entries of a folder (a capture's temporary files), sorted.
QStringList hiddenEntries(const QString &folder);
// How many descriptors this process has open.
int openDescriptorCount();

// A photo's EXIF and picture fields as exiftool (libimage-exiftool-perl) reads them, by
// exiftool's names ("Make", "Orientation", "ImageWidth"), numbers as numbers; empty when
// exiftool is missing or cannot read the file (see exifError()).
QVariantMap readExif(const QString &path);
QString exifError();

// Whether somebody owns the camera's bus name on the session bus.
bool cameraNameOwned();

// Invoke calls sent through one object, and their answers: each the actionReturn of a reply
// or the name of an error, in the order they came (one connection keeps its order).
class AnswerLog
{
public:
    AnswerLog() = default;
    ~AnswerLog();
    AnswerLog(const AnswerLog &) = delete;
    AnswerLog &operator=(const AnswerLog &) = delete;

    // Returns the call's number in this log.
    int send(QDBusConnection bus, const QDBusMessage &call, int timeoutMs = 60000);
    int size() const { return int(m_calls.size()); }
    bool allAnswered() const { return m_order.size() == size(); }
    // The answer to call n; empty while it has none.
    QString answer(int n) const { return m_calls.at(size_t(n)).answer; }
    QMap<QString, QString> results(int n) const { return m_calls.at(size_t(n)).results; }
    QString errorMessage(int n) const { return m_calls.at(size_t(n)).message; }
    // The calls' numbers in the order they were answered.
    QList<int> order() const { return m_order; }
    int count(const QString &answer) const;

private:
    struct Call
    {
        std::unique_ptr<QDBusPendingCallWatcher> watcher;
        QString answer;
        QMap<QString, QString> results;
        QString message;
    };
    std::vector<Call> m_calls;
    QList<int> m_order;
};

// A reference camera the test starts itself (not by activation), writing into outputDir;
// what it prints on stdout is kept. Stopped when destroyed.
class CameraProcess
{
public:
    CameraProcess() = default;
    ~CameraProcess();
    CameraProcess(const CameraProcess &) = delete;
    CameraProcess &operator=(const CameraProcess &) = delete;

    // A command the camera is started through (a program and its arguments, the camera's
    // own command line after them) from the next start(), or none when empty.
    void setLauncher(const QStringList &command) { m_launcher = command; }
    // Stops a camera this object started before; true once the new one owns its name.
    bool start(const QString &outputDir, const QStringList &options,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
        const QString &workingDirectory = QString());
    // SIGTERM, SIGKILL if it does not end in time; true once the name is free.
    bool stop();
    bool isRunning() const;
    QProcess *process() const { return m_process.get(); }
    // Everything printed on stdout so far, and on stderr.
    QByteArray log();
    QByteArray errors();
    void clearLog();

private:
    std::unique_ptr<QProcess> m_process;
    QStringList m_launcher;
    QByteArray m_log;
    QByteArray m_errors;
};

#endif
