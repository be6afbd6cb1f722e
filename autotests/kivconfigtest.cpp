// SPDX-License-Identifier: MIT
#include "KivConfig.h"
#include "ConfigManager.h"
#include "IniReader.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <utility>

namespace {

// A warning nobody expected fails the row (Qt 6.3 and later; Qt 5 only prints it).
void failOnAnyWarning()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 3, 0)
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
#endif
}

// Reads group/key of directory/name through both public readers, failing the test when
// they disagree. value is null when the key was not found.
void readBoth(const QString &directory, const QString &name, const QString &group,
    const QString &key, QByteArray *value, bool *open)
{
    bool ok = false;
    ConfigManager manager(name.toStdString(), ok, false, directory.toStdString(), false);
    std::string raw = "untouched";
    const bool found = manager.getSettingInfo(group.toStdString(), key.toStdString(), raw);
    *value = found ? QByteArray::fromStdString(raw) : QByteArray();
    *open = ok;
    if (!found)
        QCOMPARE(raw, std::string("untouched"));

    const KivConfig config(directory.isEmpty() ? name : directory + QLatin1Char('/') + name);
    QCOMPARE(config.isValid(), ok);
    QCOMPARE(config.readEntry(group, key, QStringLiteral("default")),
        found ? QString::fromUtf8(*value) : QStringLiteral("default"));
}

const QString g = QStringLiteral("g");
const QString k = QStringLiteral("k");

} // namespace

class KivConfigTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void format_data();
    void format();
    void boolEntry_data();
    void boolEntry();
    void openState_data();
    void openState();
    void kivRoot_data();
    void kivRoot();
    void noCaching();
    void robustness_data();
    void robustness();

private:
    QString write(const QString &name, const QByteArray &content);
    QTemporaryDir m_dir;
};

QString KivConfigTest::write(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(content) != content.size())
        qFatal("cannot write %s", qUtf8Printable(path));
    return path;
}

void KivConfigTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qunsetenv("KIV_ROOT"); // the temporary paths below are absolute
    write(QStringLiteral("rootA/etc/kiv.cfg"), "[g]\nk=a\n");
    write(QStringLiteral("rootB/etc/kiv.cfg"), "[g]\nk=b\n");
    write(QStringLiteral("plain.cfg"), "[g]\nk=plain\n");
}

void KivConfigTest::format_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("expected"); // null: not found

    const auto row = [](const char *name, const QByteArray &content, const char *group,
                         const char *key, const char *expected) {
        QTest::newRow(name) << content << QString::fromUtf8(group) << QString::fromUtf8(key)
                            << QByteArray(expected);
    };
    const QByteArray merged = "[g]\na=1\n[h]\nb=9\n[g]\nc=2\n";
    const QByteArray noHeader = "k=v\n[g]\nx=1\n";

    row("blanks trimmed", "[g]\n \t key \t= \t value  \t\n", "g", "key", "value");
    row("inner blanks kept", "[g]\nk=a b\tc\n", "g", "k", "a b\tc");
    row("split at first =", "[g]\nk = a=b==c\n", "g", "k", "a=b==c");
    row("punctuation literal", "[g]\nk=a,b,%20c \"q\" ;x #y\n", "g", "k", "a,b,%20c \"q\" ;x #y");
    row("# comment", "[g]\n#k=1\n", "g", "#k", nullptr);
    row("; comment after blanks", "[g]\n \t;k=1\n", "g", ";k", nullptr);
    row("commented header", "[g]\n# [h]\nk=1\n", "g", "k", "1");
    row("group case", "[G]\nk=1\n", "g", "k", nullptr);
    row("key case", "[g]\nK=1\n", "g", "k", nullptr);
    row("last key wins", "[g]\nk=1\nk=2\n", "g", "k", "2");
    row("group merge first", merged, "g", "a", "1");
    row("group merge second", merged, "g", "c", "2");
    row("other group's key", merged, "g", "b", nullptr);
    row("malformed skipped", "[g]\nnoequals\n=v\n[broken\n[\n\x01\x02=x\nk=ok\n", "g", "k", "ok");
    row("control bytes in key", "[g]\n\x01k=x\n", "g", "\x01k", nullptr);
    row("empty key", "[g]\n = v\n", "g", "", nullptr);
    row("crlf", "[g]\r\nk=v\r\n", "g", "k", "v");
    row("bom", "\xEF\xBB\xBF[g]\nk=v\n", "g", "k", "v");
    row("bom before key", "\xEF\xBB\xBFk=v\n", "", "k", "v");
    row("no header, real group", noHeader, "g", "k", nullptr);
    row("no header, empty group", noHeader, "", "k", "v");
    row("empty value", "[g]\nk=\n", "g", "k", "");
    row("blank value", "[g]\nk= \t\n", "g", "k", "");
    row("no final newline", "[g]\nk=v", "g", "k", "v");
    row("blanks around header", "  [g]\t\nk=v\n", "g", "k", "v");
    row("utf8", "[g]\nk=caf\xC3\xA9\n", "g", "k", "caf\xC3\xA9");
    row("missing group", "[g]\nk=v\n", "x", "k", nullptr);
    row("empty file", "", "g", "k", nullptr);
}

void KivConfigTest::format()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, group);
    QFETCH(QString, key);
    QFETCH(QByteArray, expected);

    write(QStringLiteral("format.ini"), content);
    QByteArray value;
    bool open = false;
    readBoth(m_dir.path(), QStringLiteral("format.ini"), group, key, &value, &open);
    QVERIFY(open);
    QCOMPARE(value, expected);
}

void KivConfigTest::boolEntry_data()
{
    QTest::addColumn<QByteArray>("value"); // null: no such key
    QTest::addColumn<bool>("defaultValue");
    QTest::addColumn<bool>("expected");

    const char *const yes[] = { "true", "TRUE", "True", "yes", "YeS", "on", "ON", "1", " yes " };
    const char *const no[] = { "false", "FALSE", "fAlSe", "no", "NO", "off", "Off", "0", " off " };
    const char *const junk[]
        = { "2", "", "truee", "tru", "t", "y", "01", "-1", "yes no", "enabled" };
    for (const bool def : { false, true }) {
        for (const char *v : yes)
            QTest::addRow("'%s', default %d", v, def) << QByteArray(v) << def << true;
        for (const char *v : no)
            QTest::addRow("'%s', default %d", v, def) << QByteArray(v) << def << false;
        for (const char *v : junk)
            QTest::addRow("'%s', default %d", v, def) << QByteArray(v) << def << def;
        QTest::addRow("missing key, default %d", def) << QByteArray() << def << def;
    }
}

void KivConfigTest::boolEntry()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, defaultValue);
    QFETCH(bool, expected);

    const QByteArray line = value.isNull() ? QByteArray() : "k=" + value + '\n';
    const KivConfig config(write(QStringLiteral("bool.ini"), "[g]\n" + line));
    QCOMPARE(config.readBoolEntry(g, k, defaultValue), expected);
    QCOMPARE(config.readBoolEntry(QStringLiteral("G"), k, defaultValue), defaultValue);
}

void KivConfigTest::openState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("open");
    QTest::addColumn<bool>("warns");

    QTest::newRow("file") << QStringLiteral("state.ini") << true << false;
    QTest::newRow("empty file") << QStringLiteral("empty.ini") << true << false;
    QTest::newRow("missing") << QStringLiteral("missing.ini") << false << false;
    QTest::newRow("directory") << QStringLiteral("subdir") << false << true;
    QTest::newRow("unreadable") << QStringLiteral("locked.ini") << false << true;
}

void KivConfigTest::openState()
{
    QFETCH(QString, name);
    QFETCH(bool, open);
    QFETCH(bool, warns);

    const QString path = m_dir.filePath(name);
    if (name == QLatin1String("subdir")) {
        QVERIFY(QDir().mkpath(path));
    } else if (name != QLatin1String("missing.ini")) {
        write(name, name == QLatin1String("empty.ini") ? QByteArray() : "[g]\nk=v\n");
    }
    if (name == QLatin1String("locked.ini")) {
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        QFile probe(path);
        if (probe.open(QIODevice::ReadOnly))
            QSKIP("permissions don't stop this user (root) from reading");
    }

    // One line per failed open (ConfigManager's and KivConfig's), naming the path as
    // joined; silence otherwise.
    if (warns) {
        const QRegularExpression named(
            QStringLiteral("^Cannot read %1: ").arg(QRegularExpression::escape(path)));
        QTest::ignoreMessage(QtWarningMsg, named);
        QTest::ignoreMessage(QtWarningMsg, named);
    } else {
        failOnAnyWarning();
    }
    bool ok = !open;
    // The trailing slash must not break the join.
    ConfigManager manager(name.toStdString(), ok, false, m_dir.path().toStdString() + '/', false);
    const KivConfig config(path);

    QCOMPARE(ok, open);
    QCOMPARE(config.isValid(), open);
    QCOMPARE(config.readBoolEntry(g, k, true), true);
    QCOMPARE(config.readEntry(g, k, QStringLiteral("d")),
        name == QLatin1String("state.ini") ? QStringLiteral("v") : QStringLiteral("d"));
}

void KivConfigTest::kivRoot_data()
{
    QTest::addColumn<QByteArray>("root"); // null: unset
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("expected");

    const QString plain = m_dir.filePath(QStringLiteral("plain.cfg"));
    const QByteArray rootA = QFile::encodeName(m_dir.filePath(QStringLiteral("rootA")));
    const QByteArray rootB = QFile::encodeName(m_dir.filePath(QStringLiteral("rootB")));
    const QString etc = QStringLiteral("/etc/kiv.cfg");
    QTest::newRow("unset") << QByteArray() << plain << QByteArray("plain");
    QTest::newRow("empty") << QByteArray("") << plain << QByteArray("plain");
    QTest::newRow("prefixed") << rootA << etc << QByteArray("a");
    // Follows a row with another root: a root read once and kept would fail here.
    QTest::newRow("trailing slash, re-read") << rootB + '/' << etc << QByteArray("b");
    QTest::newRow("prefix hides the unprefixed file") << rootA << plain << QByteArray();
    QTest::newRow("relative untouched")
        << rootA << QStringLiteral("plain.cfg") << QByteArray("plain");
}

void KivConfigTest::kivRoot()
{
    QFETCH(QByteArray, root);
    QFETCH(QString, path);
    QFETCH(QByteArray, expected);

    const QString oldCwd = QDir::currentPath();
    const auto restore = qScopeGuard([oldCwd] {
        qunsetenv("KIV_ROOT");
        QDir::setCurrent(oldCwd);
    });
    QVERIFY(QDir::setCurrent(m_dir.path()));
    if (root.isNull())
        qunsetenv("KIV_ROOT");
    else
        qputenv("KIV_ROOT", root);

    QByteArray value;
    bool open = false;
    readBoth(QString(), path, g, k, &value, &open);
    QCOMPARE(value, expected);
    QCOMPARE(open, !expected.isNull());
}

void KivConfigTest::noCaching()
{
    const QString name = QStringLiteral("cache.ini");
    const QString path = write(name, "[g]\nk=aaaa\n");
    const QDateTime modified = QFileInfo(path).lastModified();
    QByteArray value;
    bool open = false;
    readBoth(m_dir.path(), name, g, k, &value, &open);
    QCOMPARE(value, QByteArray("aaaa"));

    // Same size, and the old modification time forced back: only a fresh read sees it.
    write(name, "[g]\nk=bbbb\n");
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
    file.close();
    readBoth(m_dir.path(), name, g, k, &value, &open);
    QCOMPARE(value, QByteArray("bbbb"));
}

void KivConfigTest::robustness_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<bool>("open"); // false: too large, refused as a whole

    const int mib = 1 << 20;
    QByteArray garbage(64 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char &byte : garbage)
        byte = static_cast<char>(generator.bounded(256));

    QTest::newRow("1 MiB line") << QByteArray(mib, 'x') << true;
    QTest::newRow("1 MiB of =") << QByteArray(mib, '=') << true;
    QTest::newRow("1 MiB blanks") << QByteArray(mib, ' ') + "#" << true;
    QTest::newRow("1 MiB open header") << '[' + QByteArray(mib, 'a') << true;
    QTest::newRow("1 MiB value") << "[g]\nbig=" + QByteArray(mib, 'v') << true;
    QTest::newRow("binary garbage") << garbage << true;
    QTest::newRow("NUL bytes") << QByteArray("[g]\nk") + '\0' + "=bad\n" + QByteArray(100, '\0')
                               << true;
    // The cap counts the whole file, the entries appended by the test included.
    const int tail = int(qstrlen("\n[g]\nk=ok\n"));
    const int cap = int(IniReader::MaxFileSize);
    QTest::newRow("exactly the cap") << QByteArray(cap - tail, '#') << true;
    QTest::newRow("one byte over the cap") << QByteArray(cap - tail + 1, '#') << false;
    const QByteArray block = "[g]\nk=x\r\n;c\nbad\n\n";
    QTest::newRow("64 MiB") << block.repeated(64 * mib / block.size()) << false;
}

void KivConfigTest::robustness()
{
    QFETCH(QByteArray, prefix);
    QFETCH(bool, open);

    const QString name = QStringLiteral("robust.ini");
    const QString path = write(name, prefix + "\n[g]\nk=ok\n");
    if (!open) {
        // Once per reader: ConfigManager and KivConfig.
        const QRegularExpression tooLarge(QStringLiteral("^Cannot read %1: larger than %2 bytes")
                                              .arg(QRegularExpression::escape(path))
                                              .arg(IniReader::MaxFileSize));
        QTest::ignoreMessage(QtWarningMsg, tooLarge);
        QTest::ignoreMessage(QtWarningMsg, tooLarge);
    }
    QByteArray value;
    bool opened = !open;
    readBoth(m_dir.path(), name, g, k, &value, &opened);
    QCOMPARE(opened, open);
    QCOMPARE(value, open ? QByteArray("ok") : QByteArray());
}

QTEST_GUILESS_MAIN(KivConfigTest)

#include "kivconfigtest.moc"
