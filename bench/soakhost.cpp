// SPDX-License-Identifier: MIT
// One host of bench/camera-soak: captures through CameraCapture on the process's one bus
// connection, several at once when asked, and one line per capture as it ends:
//   ANSWER <host> <index> <photo|clip> <outcome> <milliseconds> <error message>
// The outcome is the library's name, or Busy when the camera answered its Busy error.
// Exit status 0 when every capture ended exactly once, 1 otherwise, 2 for bad usage.

#include <camerauiservice/CameraCapture.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QVector>

#include <cstdio>

namespace {

struct Settings
{
    QString name = QStringLiteral("host");
    QString dir;
    int captures = 20;
    int parallel = 1;
    int offset = 0; // which kind comes first: hosts mix differently
    bool photosOnly = false;
    QString photoSize = QStringLiteral("1920x1080");
    QString quality = QStringLiteral("MEDIUM");
    int clipMs = 1000;
    int timeoutMs = 180000;
};

class Host : public QObject
{
public:
    explicit Host(const Settings &settings)
        : m_settings(settings)
        , m_answers(settings.captures, 0)
    {
        m_clock.start();
    }

    void run()
    {
        // Every capture carries its own time limit; this only catches one that never ends.
        const int rounds = (m_settings.captures + m_settings.parallel - 1) / m_settings.parallel;
        QTimer::singleShot(m_settings.timeoutMs * rounds + 30000, this, [this] { giveUp(); });
        startMore();
    }

    int status() const { return m_status; }

private:
    bool isClip(int i) const { return !m_settings.photosOnly && (i + m_settings.offset) % 2; }

    QString path(int i) const
    {
        return QStringLiteral("%1/%2-%3.%4")
            .arg(m_settings.dir, m_settings.name)
            .arg(i)
            .arg(isClip(i) ? QStringLiteral("mp4") : QStringLiteral("jpg"));
    }

    void startMore()
    {
        while (m_running < m_settings.parallel && m_next < m_settings.captures)
            launch(m_next++);
        if (m_ended == m_settings.captures)
            QCoreApplication::exit(m_status);
    }

    void launch(int i)
    {
        auto *capture = new CameraCapture(this);
        if (isClip(i)) {
            capture->setCameraType(CameraCapture::Video);
            capture->setVideoQuality(m_settings.quality);
            capture->setVideoDurationLimit(m_settings.clipMs);
        } else {
            capture->setPhotoResolution(m_settings.photoSize);
        }
        capture->setFileLocation(path(i));
        capture->setTimeout(m_settings.timeoutMs);
        const qint64 sent = m_clock.elapsed();
        connect(capture, &CameraCapture::finished, this,
            [this, capture, i, sent] { ended(capture, i, sent); });
        ++m_running;
        if (!capture->start()) {
            print(i, QStringLiteral("NotStarted"), 0, capture->errorMessage());
            m_status = 1;
            m_answers[i] = 1;
            --m_running;
            ++m_ended;
        }
    }

    void ended(CameraCapture *capture, int i, qint64 sent)
    {
        if (++m_answers[i] > 1) {
            print(i, QStringLiteral("SecondAnswer"), 0, QString());
            m_status = 1;
            return;
        }
        QString outcome = CameraCapture::outcomeName(capture->outcome());
        if (capture->errorMessage().contains(QLatin1String("org.kiv.Action.Error.Busy")))
            outcome = QStringLiteral("Busy");
        print(i, outcome, m_clock.elapsed() - sent, capture->errorMessage());
        QFile::remove(path(i));
        --m_running;
        ++m_ended;
        // The capture stays until the end, so a second answer would still be seen.
        startMore();
    }

    void giveUp()
    {
        for (int i = 0; i < m_next; ++i)
            if (m_answers[i] == 0)
                print(i, QStringLiteral("NoAnswer"), m_clock.elapsed(), QString());
        QCoreApplication::exit(1);
    }

    void print(int i, const QString &outcome, qint64 ms, QString why) const
    {
        why.replace(QLatin1Char('\n'), QLatin1Char(' '));
        printf("ANSWER %s %d %s %s %lld %s\n", qPrintable(m_settings.name), i,
            isClip(i) ? "clip" : "photo", qPrintable(outcome), static_cast<long long>(ms),
            qPrintable(why.left(300)));
        fflush(stdout);
    }

    Settings m_settings;
    QVector<int> m_answers;
    QElapsedTimer m_clock;
    int m_next = 0;
    int m_running = 0;
    int m_ended = 0;
    int m_status = 0;
};

bool parse(const QStringList &arguments, Settings *s)
{
    QCommandLineParser parser;
    const auto valued = [](const char *name, const char *what) {
        return QCommandLineOption(QLatin1String(name), QLatin1String(what), QStringLiteral("N"));
    };
    const QCommandLineOption name = valued("name", "host name in the lines"),
                             dir = valued("dir", "folder for the captures (removed once ended)"),
                             captures = valued("captures", "how many captures"),
                             parallel = valued("parallel", "how many at once"),
                             offset = valued("offset", "1: a clip first"),
                             clipMs = valued("clip-ms", "length of a clip"),
                             timeout = valued("timeout-ms", "time limit of each capture");
    const QCommandLineOption photosOnly(QStringLiteral("photos-only"), QStringLiteral("no clips"));
    parser.addOptions({ name, dir, captures, parallel, offset, clipMs, timeout, photosOnly });
    parser.addHelpOption();
    if (!parser.parse(arguments) || !parser.isSet(dir)) {
        fprintf(stderr, "camera-soak-host: %s\n%s",
            qPrintable(parser.errorText().isEmpty() ? QStringLiteral("--dir is needed")
                                                    : parser.errorText()),
            qPrintable(parser.helpText()));
        return false;
    }
    const auto number = [&parser](const QCommandLineOption &option, int fallback) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        return ok && value >= 0 ? value : fallback;
    };
    if (parser.isSet(name))
        s->name = parser.value(name);
    s->dir = QDir(parser.value(dir)).absolutePath();
    s->captures = number(captures, s->captures);
    s->parallel = qMax(1, number(parallel, s->parallel));
    s->offset = number(offset, s->offset);
    s->clipMs = qMax(1, number(clipMs, s->clipMs));
    s->timeoutMs = qMax(1, number(timeout, s->timeoutMs));
    s->photosOnly = parser.isSet(photosOnly);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Settings settings;
    if (!parse(QCoreApplication::arguments(), &settings))
        return 2;
    if (settings.captures == 0)
        return 0;
    Host host(settings);
    QTimer::singleShot(0, &host, [&host] { host.run(); });
    return app.exec();
}
