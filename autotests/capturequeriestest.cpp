// SPDX-License-Identifier: MIT
// The queries a host makes around a capture: the captured bytes, the minimum video data
// size for the phone model, and the auto-post setting.

#include "testsupport.h"

#include <CameraUIService.h>
#include <CameraUIServiceCWrapper.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

const QString modelCfg = QStringLiteral("/usr/securesetup/tq_phonemodel.cfg");
const QString cameraCfg
    = QStringLiteral("/kivlocal/download/appwrite/setup/kiv_camera_resource.cfg");

// Written through stdio with the path's UTF-8 bytes, so the name on disk does not
// depend on the locale Qt picked.
void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    FILE *file = fopen(path.toUtf8().constData(), "wb");
    const size_t size = static_cast<size_t>(bytes.size());
    if (!file || fwrite(bytes.constData(), 1, size, file) != size || fclose(file) != 0)
        qFatal("cannot write %s", qUtf8Printable(path));
}

QByteArray modelFile(const char *model)
{
    return QByteArray("[PHONE_MODEL]\nPhoneModelID=") + model + '\n';
}

QString logLine(const char *func, const char *text)
{
    return QStringLiteral("Camera LOG in CameraUIService.cpp:#:%1:%2")
        .arg(QLatin1String(func), QLatin1String(text));
}

enum Target
{
    Regular,
    Missing,
    Directory,
    EmptyPath,
    ProcFile,
};

} // namespace

class CaptureQueriesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void minDataSize_data();
    void minDataSize();
    void minDataSizeTrace();
    void minDataSizeRereadsFile();

    void autoPost_data();
    void autoPost();
    void autoPostRereadsSameSizeFile();

    void readBytes_data();
    void readBytes();
    void dataShortRead();
    void dataIsOneMember();
    void dataNonAsciiPath();
    void dataTrace();

private:
    QString root(const QString &path) const { return m_root.path() + path; }
    QTemporaryDir m_root;
};

void CaptureQueriesTest::initTestCase()
{
    QVERIFY(m_root.isValid());
    qputenv("KIV_ROOT", QFile::encodeName(m_root.path()));
}

void CaptureQueriesTest::init()
{
    // Every row starts without configuration files.
    QDir(root(QStringLiteral("/usr"))).removeRecursively();
    QDir(root(QStringLiteral("/kivlocal"))).removeRecursively();
}

void CaptureQueriesTest::cleanupTestCase()
{
    qunsetenv("KIV_ROOT");
}

void CaptureQueriesTest::minDataSize_data()
{
    QTest::addColumn<QByteArray>("config"); // null: no file
    QTest::addColumn<int>("cameraType");
    QTest::addColumn<QString>("quality"); // null: left at the default
    QTest::addColumn<uint>("expected");

    // By hand: (bitRate + 12800) >> 3, + fps * 160 + 1414, + factor * (w * h / 5).
    // 320x240 high: 65600 + 4800 + 1414 + 2 * 15360 = 102534
    // 176x144 high: 33600 + 4800 + 1414 + 3 * 5068 = 55018
    // 176x144 medium: 33600 + 2400 + 1414 + 3 * 5068 = 52618
    // 176x144 low: 9600 + 2400 + 1414 + 3 * 5068 = 28618
    const char *const qualities[] = { "HIGHEST", "MEDIUM", "LOWEST" };
    const struct
    {
        const char *model;
        uint sizes[3];
    } models[] = {
        { "KIV-KR41", { 102534, 52618, 28618 } },
        { "Tarvo Pro", { 102534, 52618, 28618 } },
        { "KIV-TJ72", { 55018, 52618, 28618 } },
        { "myBexi", { 55018, 52618, 28618 } },
        { "KIV-TJ72-KR41", { 102534, 52618, 28618 } }, // KR41 is looked for first
        { "Bexi Tarvo", { 102534, 52618, 28618 } },
        { "KIV-ZZ99", { 28618, 28618, 28618 } }, // unknown: the lowest KR41 row
        { "", { 28618, 28618, 28618 } },
    };
    for (const auto &m : models) {
        for (int q = 0; q < 3; ++q) {
            QTest::addRow("'%s' %s", m.model, qualities[q])
                << modelFile(m.model) << 2 << QString::fromLatin1(qualities[q]) << m.sizes[q];
        }
    }

    const QByteArray kr41 = modelFile("KIV-KR41");
    const QString high = QStringLiteral("HIGHEST");
    QTest::newRow("lower-case kr41 is unknown") << modelFile("kiv-kr41") << 2 << high << 28618u;
    QTest::newRow("KR4 is unknown") << modelFile("KR4") << 2 << high << 28618u;
    QTest::newRow("default quality is HIGHEST") << kr41 << 2 << QString() << 102534u;

    for (int type : { 0, 2, 3, -1 })
        QTest::addRow("camera type %d", type) << kr41 << type << high << 102534u;
    QTest::newRow("photo") << kr41 << 1 << high << 0u;
    QTest::newRow("photo, no file") << QByteArray() << 1 << high << 0u;

    QTest::newRow("invalid quality") << kr41 << 2 << QStringLiteral("ULTRA") << 0u;
    QTest::newRow("lower-case quality") << kr41 << 2 << QStringLiteral("medium") << 0u;
    QTest::newRow("empty quality") << kr41 << 2 << QString(QLatin1String("")) << 0u;
    QTest::newRow("quality with blank") << kr41 << 2 << QStringLiteral("LOWEST ") << 0u;

    QTest::newRow("no file") << QByteArray() << 2 << high << 0u;
    QTest::newRow("empty file") << QByteArray("") << 2 << high << 28618u;
    QTest::newRow("other group") << QByteArray("[OTHER]\nPhoneModelID=KIV-KR41\n") << 2 << high
                                 << 28618u;
    QTest::newRow("other key") << QByteArray("[PHONE_MODEL]\nPhoneModel=KIV-KR41\n") << 2 << high
                               << 28618u;
}

void CaptureQueriesTest::minDataSize()
{
    QFETCH(QByteArray, config);
    QFETCH(int, cameraType);
    QFETCH(QString, quality);
    QFETCH(uint, expected);

    if (!config.isNull())
        writeFile(root(modelCfg), config);
    CameraUIService service(cameraType, 0);
    if (!quality.isNull())
        service.setVideoQuality(quality);
    QCOMPARE(service.minDataSize(), expected);
    QCOMPARE(GetMinDataSize(&service), expected);
}

void CaptureQueriesTest::minDataSizeTrace()
{
    writeFile(root(modelCfg), modelFile("KIV-KR41"));
    CameraUIService service(2, 0);
    StdoutCapture trace;
    QCOMPARE(service.minDataSize(), 102534u);
    QByteArray raw = trace.take();

    // The table line carries the source line of its own log statement.
    const QRegularExpression tableLine(QStringLiteral(
        "Camera LOG in CameraUIService\\.cpp:(\\d+):minDataSize:\n____: (\\d+): quality="));
    const QRegularExpressionMatch match = tableLine.match(QString::fromLatin1(raw));
    QVERIFY2(match.hasMatch(), raw.constData());
    QCOMPARE(match.captured(2), match.captured(1));

    QString text = QString::fromLatin1(raw);
    text.replace(QRegularExpression(QStringLiteral("^(Camera LOG in [^:]+):\\d+:"),
                     QRegularExpression::MultilineOption),
        QStringLiteral("\\1:#:"));
    text.replace(
        QRegularExpression(QStringLiteral("^____: \\d+: "), QRegularExpression::MultilineOption),
        QStringLiteral("____: #: "));
    const QString prefix = logLine("minDataSize", "");
    const QStringList expected {
        logLine("minDataSize", "enter"),
        prefix,
        QStringLiteral("____: minDataSize: strPhoneModel = KIV-KR41"),
        prefix,
        QStringLiteral("____: videoQuality = 0"),
        prefix,
        QStringLiteral("____: #: quality=0, bitRate=512000, fps=30, width=320, height=240"),
        QString(),
        prefix,
        QStringLiteral("____: unEncodedBytesPerSec = 65600"),
        prefix,
        QStringLiteral("____: minDataSize: unRet = 102534"),
        QString(),
        QString(),
    };
    QCOMPARE(text.split(QLatin1Char('\n')), expected);

    // No path through the query prints an exit line.
    service.setVideoQuality(QStringLiteral("LOWEST"));
    writeFile(root(modelCfg), modelFile("KIV-ZZ99"));
    QCOMPARE(service.minDataSize(), 28618u);
    service.setVideoQuality(QStringLiteral("bad"));
    QCOMPARE(service.minDataSize(), 0u);
    QFile::remove(root(modelCfg));
    QCOMPARE(service.minDataSize(), 0u);
    CameraUIService photo(1, 0);
    QCOMPARE(photo.minDataSize(), 0u);
    const QStringList lines = trace.takeLines();
    QCOMPARE(lines.count(logLine("minDataSize", "enter")), 4);
    QVERIFY(lines.contains(QStringLiteral("____: not KR41 or TJ72, strPhoneModel = KIV-ZZ99")));
    for (const QString &line : lines)
        QVERIFY2(!line.contains(QLatin1String("minDataSize:exit")), qPrintable(line));
}

void CaptureQueriesTest::minDataSizeRereadsFile()
{
    CameraUIService service(0, 0);
    writeFile(root(modelCfg), modelFile("KIV-KR41"));
    QCOMPARE(service.minDataSize(), 102534u);
    writeFile(root(modelCfg), modelFile("KIV-TJ72"));
    QCOMPARE(GetMinDataSize(&service), 55018u);
    QVERIFY(QFile::remove(root(modelCfg)));
    QCOMPARE(service.minDataSize(), 0u);
    writeFile(root(modelCfg), modelFile("Tarvo"));
    QCOMPARE(service.minDataSize(), 102534u);
}

void CaptureQueriesTest::autoPost_data()
{
    QTest::addColumn<QByteArray>("config"); // null: no file
    QTest::addColumn<int>("argument");
    QTest::addColumn<bool>("expected");

    const QByteArray photoOnly("[cameraSetting]\nphotoAutoBlog=true\nvideoAutoBlog=false\n");
    const QByteArray videoOnly("[cameraSetting]\nphotoAutoBlog=false\nvideoAutoBlog=true\n");
    // Only 1 asks for the photo setting; every other value asks for the video one.
    for (int arg : { 0, 1, 2, 3, -1 }) {
        QTest::addRow("photo on, argument %d", arg) << photoOnly << arg << (arg == 1);
        QTest::addRow("video on, argument %d", arg) << videoOnly << arg << (arg != 1);
    }
    for (int arg : { 1, 2 }) {
        QTest::addRow("no file, argument %d", arg) << QByteArray() << arg << false;
        QTest::addRow("other group, argument %d", arg)
            << QByteArray("[other]\nphotoAutoBlog=true\nvideoAutoBlog=true\n") << arg << false;
    }
    QTest::newRow("YES") << QByteArray("[cameraSetting]\nphotoAutoBlog=YES\n") << 1 << true;
    QTest::newRow("On") << QByteArray("[cameraSetting]\nvideoAutoBlog=On\n") << 2 << true;
    QTest::newRow("1") << QByteArray("[cameraSetting]\nvideoAutoBlog=1\n") << 0 << true;
    QTest::newRow("unknown word") << QByteArray("[cameraSetting]\nphotoAutoBlog=maybe\n") << 1
                                  << false;
    QTest::newRow("key case") << QByteArray("[cameraSetting]\nPhotoAutoBlog=true\n") << 1 << false;
    QTest::newRow("group case") << QByteArray("[CameraSetting]\nphotoAutoBlog=true\n") << 1
                                << false;
}

void CaptureQueriesTest::autoPost()
{
    QFETCH(QByteArray, config);
    QFETCH(int, argument);
    QFETCH(bool, expected);

    if (!config.isNull())
        writeFile(root(cameraCfg), config);
    // The constructor's camera type plays no part.
    CameraUIService service(argument == 1 ? 2 : 1, 0);
    StdoutCapture trace;
    QCOMPARE(service.getAutoPostSetting(argument), expected);
    QCOMPARE(trace.takeLines(),
        QStringList({ logLine("getAutoPostSetting", "enter"), logLine("getAutoPostSetting", "exit"),
            QString() }));
    QCOMPARE(GetAutoPostSetting(&service, argument), expected);
}

void CaptureQueriesTest::autoPostRereadsSameSizeFile()
{
    // Same size and same modification time: only re-reading the content can notice.
    const QString path = root(cameraCfg);
    const auto rewrite = [&path](const QByteArray &bytes) {
        writeFile(path, bytes);
        QFile file(path);
        return file.open(QIODevice::ReadWrite)
            && file.setFileTime(
                QDateTime::fromSecsSinceEpoch(1700000000), QFileDevice::FileModificationTime);
    };
    CameraUIService service(0, 0);
    QVERIFY(rewrite("[cameraSetting]\nphotoAutoBlog=on\n"));
    QCOMPARE(service.getAutoPostSetting(1), true);
    QVERIFY(rewrite("[cameraSetting]\nphotoAutoBlog=no\n"));
    QCOMPARE(GetAutoPostSetting(&service, 1), false);
    QVERIFY(rewrite("[cameraSetting]\nphotoAutoBlog=on\n"));
    QCOMPARE(service.getAutoPostSetting(1), true);
}

void CaptureQueriesTest::readBytes_data()
{
    QTest::addColumn<QByteArray>("before"); // null: no earlier read
    QTest::addColumn<int>("target");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("expected");

    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    // Larger than any stdio buffer, so a single short fread would show.
    QByteArray large;
    for (int i = 0; i < 3000; ++i)
        large += QByteArray::number(i).rightJustified(350, char('a' + i % 26));

    const QByteArray earlier("earlier bytes");
    const QByteArray empty("");
    QTest::newRow("text") << QByteArray() << int(Regular) << QByteArray("hi\n")
                          << QByteArray("hi\n");
    QTest::newRow("bytes 0..255") << QByteArray() << int(Regular) << all << all;
    QTest::newRow("large") << QByteArray() << int(Regular) << large << large;
    QTest::newRow("empty file") << QByteArray() << int(Regular) << empty << empty;
    QTest::newRow("empty file after read") << earlier << int(Regular) << empty << empty;
    QTest::newRow("shorter after read") << earlier << int(Regular) << all.left(3) << all.left(3);
    QTest::newRow("longer after read") << earlier << int(Regular) << all << all;
    QTest::newRow("same size after read")
        << earlier << int(Regular) << QByteArray("EARLIER BYTES") << QByteArray("EARLIER BYTES");
    QTest::newRow("missing, new service") << QByteArray() << int(Missing) << empty << empty;
    QTest::newRow("missing after read") << earlier << int(Missing) << empty << earlier;
    QTest::newRow("directory, new service") << QByteArray() << int(Directory) << empty << empty;
    QTest::newRow("directory after read") << earlier << int(Directory) << empty << earlier;
    QTest::newRow("empty location after read") << earlier << int(EmptyPath) << empty << earlier;
    // /proc reports size 0 for a file that has content: exactly 0 bytes are read.
    QTest::newRow("proc file after read") << earlier << int(ProcFile) << empty << empty;
}

void CaptureQueriesTest::readBytes()
{
    QFETCH(QByteArray, before);
    QFETCH(int, target);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CameraUIService service(2, 0);
    if (!before.isNull()) {
        writeFile(dir.filePath(QStringLiteral("before.bin")), before);
        service.setFileLocation(dir.filePath(QStringLiteral("before.bin")));
        QCOMPARE(service.data(), before);
    }
    QString path;
    switch (target) {
    case Regular:
        path = dir.filePath(QStringLiteral("capture.bin"));
        writeFile(path, content);
        break;
    case Missing:
        path = dir.filePath(QStringLiteral("absent.bin"));
        break;
    case Directory:
        path = dir.path();
        break;
    case ProcFile:
        path = QStringLiteral("/proc/self/status");
        break;
    case EmptyPath:
        break;
    }
    service.setFileLocation(path);

    StdoutCapture trace;
    QCOMPARE(service.data(), expected);
    QCOMPARE(GetCameraData(&service), expected);
    const QByteArray text = trace.take();
    QVERIFY2(!text.contains("<!=>"), text.constData());
    QVERIFY(text.endsWith(
        "GetCameraData:the size for data is:" + QByteArray::number(expected.size()) + '\n'));
}

void CaptureQueriesTest::dataShortRead()
{
    // sysfs reports a page as size and delivers less: a genuine short read.
    const QString path = QStringLiteral("/sys/devices/system/cpu/online");
    QFile file(path);
    const qint64 size = QFileInfo(path).size();
    if (!file.open(QIODevice::ReadOnly) || file.readAll().size() >= size)
        QSKIP("no sysfs file whose size exceeds its content");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    writeFile(dir.filePath(QStringLiteral("good.bin")), "good");
    CameraUIService service(2, 0);
    service.setFileLocation(dir.filePath(QStringLiteral("good.bin")));
    QCOMPARE(service.data(), QByteArray("good"));

    service.setFileLocation(path);
    StdoutCapture trace;
    QCOMPARE(service.data(), QByteArray()); // the earlier bytes are dropped, not kept
    const QString sizeText = QString::number(size);
    QCOMPARE(trace.takeLines(),
        QStringList({ logLine("data", "enter"), logLine("data", "exit"),
            logLine("data", "The mFileLocation is:") + path,
            logLine("data", "The dataSize is:") + sizeText,
            logLine("data", "file size (") + sizeText + QStringLiteral(") <!=> read size"),
            logLine("data", "The size for data is 0"), QString() }));
}

void CaptureQueriesTest::dataIsOneMember()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("capture.bin"));
    CameraUIService service(2, 0);
    service.setFileLocation(path);
    writeFile(path, "first");
    QByteArray &ref = service.data();
    QCOMPARE(ref, QByteArray("first"));
    const QByteArray copy = ref;

    // Same size, and the buffer shared with the caller's copy: the copy stays intact.
    writeFile(path, "again");
    QCOMPARE(&GetCameraData(&service), &ref);
    QCOMPARE(ref, QByteArray("again"));
    QCOMPARE(copy, QByteArray("first"));

    writeFile(path, "a longer third content");
    QCOMPARE(&service.data(), &ref);
    QCOMPARE(ref, QByteArray("a longer third content"));
    QVERIFY(QFile::remove(path));
    QCOMPARE(&service.data(), &ref);
    QCOMPARE(ref, QByteArray("a longer third content"));
}

void CaptureQueriesTest::dataNonAsciiPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + QString::fromUtf8("/caf\xc3\xa9 \xc3\xa9.bin");
    writeFile(path, "accented");
    CameraUIService service(2, 0);
    service.setFileLocation(path);
    StdoutCapture trace;
    QCOMPARE(service.data(), QByteArray("accented"));
    // Traced in Latin-1, read from disk in UTF-8.
    QVERIFY(trace.takeLines().contains(logLine("data", "The mFileLocation is:") + path));

    // Host strings are Latin-1: the same name arrives as one byte per letter.
    writeFile(path, "latin-1 host");
    SetCameraFileLocation(
        &service, (QFile::encodeName(dir.path()) + "/caf\xe9 \xe9.bin").constData());
    QCOMPARE(service.fileLocation(), path);
    QCOMPARE(GetCameraData(&service), QByteArray("latin-1 host"));
}

void CaptureQueriesTest::dataTrace()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("five.bin"));
    writeFile(path, "12345");
    CameraUIService service(2, 0);
    service.setFileLocation(path);
    StdoutCapture trace;
    QCOMPARE(GetCameraData(&service), QByteArray("12345"));
    QCOMPARE(trace.takeLines(),
        QStringList({ logLine("data", "enter"), logLine("data", "exit"),
            logLine("data", "The mFileLocation is:") + path, logLine("data", "The dataSize is:5"),
            logLine("data", "The size for data is 5"),
            QStringLiteral("Camera LOG in CameraUIServiceCWrapper.cpp:#:GetCameraData:the size "
                           "for data is:5"),
            QString() }));
}

QTEST_GUILESS_MAIN(CaptureQueriesTest)
#include "capturequeriestest.moc"
