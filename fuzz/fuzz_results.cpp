// SPDX-License-Identifier: MIT
// The camera's answer on arbitrary input: results with any keys and values, of any
// length, delivered through CameraUIService's private slots as the action framework
// does, then read back through the C entry points, including GetCameraData on the
// returned location (kept inside a scratch folder of test files).
//
// Input: tokens separated by NUL, taken as key/value pairs. Keys "a" and "f" stand for
// "actionReturn" and "fileLocationReturn"; key "." delivers the results gathered so far;
// key "!" delivers an abort. A value starting with \x01 is raw UTF-16 (lone surrogates
// included); \x02 followed by three bytes of count (little-endian) and a byte repeats that
// byte, up to 1 MiB times; anything else is UTF-8.

#include "kivaction_names_p.h"
#include <AM_ActionResults.h>
#include <CameraUIServiceCWrapper.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString s_dir;

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "fuzz_results: %s\n", what);
        abort();
    }
}

QString key(const QByteArray &token)
{
    if (token == "a")
        return KivAction::Key::actionReturn();
    if (token == "f")
        return KivAction::Key::fileLocationReturn();
    return QString::fromUtf8(token);
}

QString value(const QByteArray &token)
{
    if (token.startsWith('\x01')) {
        QString text;
        for (int i = 1; i + 1 < token.size(); i += 2)
            text += QChar(ushort(uchar(token[i]) | (uchar(token[i + 1]) << 8)));
        return text;
    }
    if (token.startsWith('\x02') && token.size() >= 5) {
        const int count = uchar(token[1]) | (uchar(token[2]) << 8) | (uchar(token[3]) << 16);
        // 1 MiB at most: longer only slows the fuzzer down, the code paths are the same.
        return QString(qMin(count, 1 << 20), QChar(ushort(uchar(token[4]))));
    }
    return QString::fromUtf8(token);
}

// Any location, kept inside the scratch folder: ".." cannot climb out of it.
QString confined(const QString &location)
{
    QString inside = location;
    inside.replace(QLatin1String(".."), QLatin1String("__"));
    return s_dir + QLatin1Char('/') + inside;
}

void write(const char *name, const QByteArray &content)
{
    QFile file(s_dir + QLatin1Char('/') + QLatin1String(name));
    check(file.open(QIODevice::WriteOnly) && file.write(content) == content.size(),
        "cannot write a scratch file");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    char dir[] = "/tmp/fuzz-results-XXXXXX";
    check(mkdtemp(dir) != nullptr, "cannot create the scratch folder");
    s_dir = QString::fromLocal8Bit(dir);
    // Files a location may name: plain, empty, a folder, a FIFO without writer, links.
    write("a", "captured bytes");
    write("empty", QByteArray());
    write("\xc3\xa9", QByteArray(70000, 'e'));
    const QByteArray d = QFile::encodeName(s_dir);
    check(mkdir((d + "/dir").constData(), 0700) == 0, "mkdir");
    check(mkfifo((d + "/fifo").constData(), 0600) == 0, "mkfifo");
    check(symlink("a", (d + "/link").constData()) == 0, "symlink");
    check(symlink("nowhere", (d + "/dangling").constData()) == 0, "symlink");
    // The library's trace would drown the fuzzer's own output.
    fflush(stdout);
    const int devNull = open("/dev/null", O_WRONLY);
    check(devNull >= 0 && dup2(devNull, STDOUT_FILENO) >= 0, "cannot silence the trace");
    close(devNull);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> tokens
        = QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)).split('\0');
    CameraUIService *service = CreateCameraUIService(int(size % 3), int(size));
    const QString asked = QStringLiteral("/asked");
    service->setFileLocation(asked);

    QString expected = asked;
    AM_ActionResults results;
    bool delivered = false;
    const auto deliver = [&] {
        check(QMetaObject::invokeMethod(
                  service, "handleResults", Qt::DirectConnection, Q_ARG(AM_ActionResults, results)),
            "handleResults not invocable");
        const QString location = KivAction::Key::fileLocationReturn();
        if (results.contains(location))
            expected = results.value(location);
        results.clear();
        delivered = true;
    };
    for (int i = 0; i + 1 < tokens.size(); i += 2) {
        if (tokens[i] == ".") {
            deliver();
        } else if (tokens[i] == "!") {
            check(QMetaObject::invokeMethod(service, "handleAbortLaunch", Qt::DirectConnection),
                "handleAbortLaunch not invocable");
        } else {
            results.insert(key(tokens[i]), value(tokens[i + 1]));
        }
    }
    if (!results.isEmpty() || !delivered)
        deliver();
    check(GetCameraFileLocation(service) == expected, "the returned location was not kept");

    // Read the location, confined to the scratch folder: the bytes must be the file's.
    const QString path = confined(expected);
    service->setFileLocation(path);
    const QByteArray &bytes = GetCameraData(service);
    const QFileInfo info(path);
    QFile file(path);
    if (info.isFile() && file.open(QIODevice::ReadOnly))
        check(bytes == file.readAll(), "GetCameraData differs from the file");
    else
        check(bytes.isEmpty(), "bytes from a location that is no readable file");
    check(&GetCameraData(service) == &bytes, "GetCameraData moved its buffer");
    DestroyCameraDlg(service);
    return 0;
}
