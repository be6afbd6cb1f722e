// SPDX-License-Identifier: MIT
// Pieces of the reference camera in-process, without a bus: how it writes its files and how
// it reads its options file.

#include "deviceturns.h"
#include "options.h"
#include "targetfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace refcam;

namespace {

// Writes data as the camera's writers do: through device() (a photo) or the descriptor (a
// recording's fdsink). The error, or an empty string once committed.
QString writeThrough(const QString &path, bool descriptor, const QByteArray &data)
{
    TargetFile file;
    if (!file.open(path))
        return file.errorString();
    const bool written = descriptor
        ? ::write(file.handle(), data.constData(), size_t(data.size())) == data.size()
        : file.device()->write(data) == data.size();
    if (!written) {
        const QString error = file.writeError(QStringLiteral("short write"));
        file.discard();
        return error;
    }
    return file.commit() ? QString() : file.errorString();
}

} // namespace

class ReferenceCameraUnitTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void targetCheckedAgainBeforeTheRename_data();
    void targetCheckedAgainBeforeTheRename();
    void writeErrorSaysWhatTheSystemSaid_data();
    void writeErrorSaysWhatTheSystemSaid();
    void nulInPathRefused();
    void screenOptions_data();
    void screenOptions();
    void optionsFileProblems_data();
    void optionsFileProblems();
    void cameraTurns_data();
    void cameraTurns();

private:
    QTemporaryDir m_dir;
};

// Something planted at the target while the file is written (the review screen shows in
// between) is never replaced or followed.
void ReferenceCameraUnitTest::targetCheckedAgainBeforeTheRename_data()
{
    QTest::addColumn<QString>("planted");
    QTest::newRow("symbolic link") << QStringLiteral("link");
    QTest::newRow("FIFO") << QStringLiteral("fifo");
}

void ReferenceCameraUnitTest::targetCheckedAgainBeforeTheRename()
{
    QFETCH(QString, planted);
    const QString target = m_dir.filePath(planted + QStringLiteral(".png"));
    const QString victim = m_dir.filePath(planted + QStringLiteral("-victim"));
    TargetFile file;
    QVERIFY2(file.open(target), qPrintable(file.errorString()));
    QCOMPARE(file.device()->write("data"), qint64(4));
    if (planted == QLatin1String("link"))
        QVERIFY(QFile::link(victim, target));
    else
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
    QVERIFY(!file.commit());
    QVERIFY2(file.errorString().contains(planted == QLatin1String("link")
                     ? QStringLiteral("symbolic link")
                     : QStringLiteral("FIFO")),
        qPrintable(file.errorString()));
    struct stat st = {};
    QCOMPARE(::lstat(QFile::encodeName(target).constData(), &st), 0);
    QVERIFY(planted == QLatin1String("link") ? S_ISLNK(st.st_mode) : S_ISFIFO(st.st_mode));
    QVERIFY(!QFile::exists(victim));
    QCOMPARE(
        QDir(m_dir.path()).entryList({ QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden),
        QStringList());
}

// A full disk, or here a file size limit: the error names the system's reason, never
// "Unknown error".
void ReferenceCameraUnitTest::writeErrorSaysWhatTheSystemSaid_data()
{
    QTest::addColumn<bool>("video");
    QTest::newRow("photo, through the device") << false;
    QTest::newRow("recording, through the descriptor") << true;
}

void ReferenceCameraUnitTest::writeErrorSaysWhatTheSystemSaid()
{
    QFETCH(bool, video);
    const QString target = m_dir.filePath(QStringLiteral("limited"));
    rlimit saved = {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 256;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString error = writeThrough(target, video, QByteArray(64 * 1024, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(error));
    QVERIFY(!QFile::exists(target));
}

void ReferenceCameraUnitTest::nulInPathRefused()
{
    const QString folder = m_dir.filePath(QStringLiteral("b"));
    QVERIFY(QDir().mkpath(folder));
    for (const QString &path : { folder + QChar(0) + QStringLiteral("zz/x.png"),
             folder + QStringLiteral("/x") + QChar(0) + QStringLiteral(".png") }) {
        QVERIFY(!writeThrough(path, false, "x").isEmpty());
        QVERIFY(!describeUnsafeTarget(path).isEmpty());
    }
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList());
}

void ReferenceCameraUnitTest::optionsFileProblems_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QStringList>("expected"); // parts of the problem text
    QTest::addColumn<QStringList>("absent");

    QTest::newRow("control characters escaped")
        << QByteArray("dela\x1b[2Jy\x07 = 1\n")
        << QStringList { QStringLiteral("unknown option 'dela\\u001b[2Jy\\u0007'") }
        << QStringList { QStringLiteral("\x1b"), QStringLiteral("\x07") };
    QTest::newRow("NUL in a value")
        << QByteArray("delay = 1\0 0\n", 13)
        << QStringList { QStringLiteral("line 1: contains a NUL character") }
        << QStringList { QString(QChar(0)) };
    QByteArray many;
    for (int i = 0; i < 3000; ++i)
        many += "bad-option-" + QByteArray::number(i) + " = x\n";
    QTest::newRow("thousands of bad lines")
        << many
        << QStringList { QStringLiteral("'bad-option-0'"), QStringLiteral("'bad-option-4'"),
               QStringLiteral("and 2995 more problem(s)"), QStringLiteral("known options: ") }
        << QStringList { QStringLiteral("'bad-option-5'") };
}

void ReferenceCameraUnitTest::optionsFileProblems()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, absent);
    const QString home = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(home));
    QFile file(home + QStringLiteral("/reference-camera.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(config);
    file.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home));
    Options options;
    QCOMPARE(int(parseOptions({ QStringLiteral("reference-camera") }, &options)),
        int(ParseOutcome::Run));
    const QString problem = options.configProblem;
    QVERIFY(problem.size() <= 4096);
    for (const QString &part : expected)
        QVERIFY2(problem.contains(part), qPrintable(part + QStringLiteral(" in ") + problem));
    for (const QString &part : absent)
        QVERIFY2(!problem.contains(part), qPrintable(problem));
    QCOMPARE(options.delayMs, 0);
    QVERIFY(problem.count(QStringLiteral("known options")) <= 1);
}

void ReferenceCameraUnitTest::screenOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<bool>("orientationGiven"); // else the screen's orientation decides
    QTest::addColumn<int>("orientation"); // -1: the camera's own mounting rotation
    QTest::addColumn<bool>("debugPanel");

    QTest::newRow("nothing said") << QStringList() << QByteArray() << false << -1 << false;
    QTest::newRow("--orientation 0 is said too")
        << QStringList { QStringLiteral("--orientation"), QStringLiteral("0") } << QByteArray()
        << true << 0 << false;
    QTest::newRow("orientation in the file")
        << QStringList() << QByteArray("orientation = 180\n") << true << 180 << false;
    QTest::newRow("--debug-panel")
        << QStringList { QStringLiteral("--debug-panel") } << QByteArray() << false << -1 << true;
    QTest::newRow("debug-panel in the file")
        << QStringList() << QByteArray("debug-panel\n") << false << -1 << true;
}

// What the interactive screen takes from the options: an orientation said explicitly,
// even 0, wins over the screen's.
void ReferenceCameraUnitTest::screenOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, config);
    QFETCH(bool, orientationGiven);
    QFETCH(int, orientation);
    QFETCH(bool, debugPanel);
    const QString home = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(home));
    QFile file(home + QStringLiteral("/reference-camera.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(config);
    file.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home));
    Options options;
    QCOMPARE(
        int(parseOptions(QStringList { QStringLiteral("reference-camera") } + arguments, &options)),
        int(ParseOutcome::Run));
    QVERIFY2(options.configProblem.isEmpty(), qPrintable(options.configProblem));
    QCOMPARE(options.orientationGiven, orientationGiven);
    QCOMPARE(options.orientation, orientation);
    QCOMPARE(options.debugPanel, debugPanel);
}

void ReferenceCameraUnitTest::cameraTurns_data()
{
    // Steps: "+a:x" a asks to share the camera in use x, "+R" R asks for it alone, "-a" a
    // is done (or gives up waiting). After each step: who has been let in so far.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("granted");

    QTest::newRow("photos in one mode share")
        << QStringLiteral("+a:x +b:x") << QStringLiteral("a ab");
    QTest::newRow("a recording waits for the photos before it")
        << QStringLiteral("+a:x +b:x +R -a -b") << QStringLiteral("a ab ab ab abR");
    QTest::newRow("photos wait for a recording's end")
        << QStringLiteral("+R +a:x +b:x -R") << QStringLiteral("R R R Rab");
    QTest::newRow("another mode waits")
        << QStringLiteral("+a:x +b:y -a") << QStringLiteral("a a ab");
    QTest::newRow("one recording at a time")
        << QStringLiteral("+R +S -R") << QStringLiteral("R R RS");
    // First come, first served: photos asked later never keep a recording waiting.
    QTest::newRow("a photo behind a waiting recording waits")
        << QStringLiteral("+a:x +R +b:x -a -R") << QStringLiteral("a a a aR aRb");
    QTest::newRow("a recording that gives up holds nobody back")
        << QStringLiteral("+a:x +R +b:x -R") << QStringLiteral("a a a ab");
}

void ReferenceCameraUnitTest::cameraTurns()
{
    QFETCH(QString, steps);
    QFETCH(QString, granted);

    DeviceTurns *turns = DeviceTurns::instance();
    QMap<QChar, QObject *> users;
    QObject owner;
    QString order;
    QStringList seen;
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        const QChar name = step.at(1);
        if (!users.contains(name))
            users.insert(name, new QObject(&owner));
        if (step.startsWith(QLatin1Char('+'))) {
            const bool alone = step.size() == 2;
            turns->ask(users.value(name), alone ? QString() : step.mid(3), alone,
                [&order, name] { order += name; });
        } else {
            turns->leave(users.value(name));
        }
        QCoreApplication::sendPostedEvents(); // turns are handed on from the event loop
        seen << order;
    }
    for (QObject *user : std::as_const(users))
        turns->leave(user);
    QCOMPARE(seen.join(QLatin1Char(' ')), granted);
}

QTEST_GUILESS_MAIN(ReferenceCameraUnitTest)
#include "referencecameraunittest.moc"
