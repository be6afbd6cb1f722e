// SPDX-License-Identifier: MIT
#include "dbusformat.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QStringList>

namespace refcam {

namespace {

constexpr int maxShownItems = 64;
constexpr int maxShownBytes = 64;

QString formatArgument(const QDBusArgument &arg);

QString joinItems(const QStringList &items, int total, QChar open, QChar close)
{
    QString text = QString(open) + items.join(QStringLiteral(", "));
    if (total > items.size())
        text += QStringLiteral(", ... (%1 items)").arg(total);
    return text + close;
}

QString formatBytes(const QByteArray &bytes)
{
    QString text = QStringLiteral("0x") + QString::fromLatin1(bytes.left(maxShownBytes).toHex());
    if (bytes.size() > maxShownBytes)
        text += QStringLiteral("... (%1 bytes)").arg(bytes.size());
    return text;
}

// Reads the next complete value; loops stop on UnknownType so bad state cannot spin.
QString formatArgument(const QDBusArgument &arg)
{
    switch (arg.currentType()) {
    case QDBusArgument::BasicType:
        return formatDBusValue(arg.asVariant());
    case QDBusArgument::VariantType: {
        QDBusVariant inner;
        arg >> inner;
        return formatDBusValue(QVariant::fromValue(inner));
    }
    case QDBusArgument::ArrayType: {
        if (arg.currentSignature() == QLatin1String("ay")) {
            QByteArray bytes;
            arg >> bytes;
            return formatBytes(bytes);
        }
        QStringList items;
        int total = 0;
        arg.beginArray();
        while (!arg.atEnd() && arg.currentType() != QDBusArgument::UnknownType) {
            const QString item = formatArgument(arg);
            if (total++ < maxShownItems)
                items << item;
        }
        arg.endArray();
        return joinItems(items, total, QLatin1Char('['), QLatin1Char(']'));
    }
    case QDBusArgument::StructureType: {
        QStringList items;
        arg.beginStructure();
        while (!arg.atEnd() && arg.currentType() != QDBusArgument::UnknownType)
            items << formatArgument(arg);
        arg.endStructure();
        return joinItems(items, items.size(), QLatin1Char('('), QLatin1Char(')'));
    }
    case QDBusArgument::MapType: {
        QStringList items;
        int total = 0;
        arg.beginMap();
        while (!arg.atEnd() && arg.currentType() != QDBusArgument::UnknownType) {
            arg.beginMapEntry();
            const QString key = formatArgument(arg);
            const QString value = formatArgument(arg);
            arg.endMapEntry();
            if (total++ < maxShownItems)
                items << key + QStringLiteral(": ") + value;
        }
        arg.endMap();
        return joinItems(items, total, QLatin1Char('{'), QLatin1Char('}'));
    }
    case QDBusArgument::MapEntryType: {
        arg.beginMapEntry();
        const QString key = formatArgument(arg);
        const QString value = formatArgument(arg);
        arg.endMapEntry();
        return key + QStringLiteral(": ") + value;
    }
    case QDBusArgument::UnknownType:
        break;
    }
    return QStringLiteral("?");
}

} // namespace

QString escaped(const QString &text, int maxChars)
{
    const int shown = qMin<int>(text.size(), qMax(0, maxChars));
    QString out;
    out.reserve(shown + 32);
    for (int i = 0; i < shown; ++i) {
        const QChar c = text.at(i);
        switch (c.unicode()) {
        case '"':
            out += QStringLiteral("\\\"");
            break;
        case '\\':
            out += QStringLiteral("\\\\");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        default:
            // C0, DEL, C1 and the Unicode line and paragraph separators.
            if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0)
                || c.unicode() == 0x2028 || c.unicode() == 0x2029)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    if (text.size() > shown)
        out += QStringLiteral("... (cut %1 of %2 chars)").arg(text.size() - shown).arg(text.size());
    return out;
}

QString quoted(const QString &text, int maxChars)
{
    QString out = escaped(text, maxChars);
    // The note on cutting goes after the closing quote.
    const int note = text.size() > maxChars ? out.lastIndexOf(QLatin1String("... (cut ")) : -1;
    if (note < 0)
        return QLatin1Char('"') + out + QLatin1Char('"');
    return QLatin1Char('"') + out.left(note) + QLatin1Char('"') + out.mid(note);
}

QString shownKey(const QString &key)
{
    return escaped(key, 200);
}

QString dbusSignature(const QVariant &value)
{
    const int type = value.userType();
    switch (type) {
    case QMetaType::QString:
        return QStringLiteral("s");
    case QMetaType::Int:
        return QStringLiteral("i");
    case QMetaType::UInt:
        return QStringLiteral("u");
    case QMetaType::LongLong:
        return QStringLiteral("x");
    case QMetaType::ULongLong:
        return QStringLiteral("t");
    case QMetaType::Short:
        return QStringLiteral("n");
    case QMetaType::UShort:
        return QStringLiteral("q");
    case QMetaType::UChar:
        return QStringLiteral("y");
    case QMetaType::Bool:
        return QStringLiteral("b");
    case QMetaType::Double:
        return QStringLiteral("d");
    case QMetaType::QByteArray:
        return QStringLiteral("ay");
    case QMetaType::QStringList:
        return QStringLiteral("as");
    default:
        break;
    }
    if (type == qMetaTypeId<QDBusVariant>())
        return QStringLiteral("v");
    if (type == qMetaTypeId<QDBusObjectPath>())
        return QStringLiteral("o");
    if (type == qMetaTypeId<QDBusSignature>())
        return QStringLiteral("g");
    if (type == qMetaTypeId<QDBusUnixFileDescriptor>())
        return QStringLiteral("h");
    if (type == qMetaTypeId<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const char *signature = QDBusMetaType::typeToSignature(value.metaType());
#else
    const char *signature = QDBusMetaType::typeToSignature(type);
#endif
    return signature ? QString::fromLatin1(signature) : QStringLiteral("?");
}

QString formatDBusValue(const QVariant &value)
{
    const int type = value.userType();
    switch (type) {
    case QMetaType::QString:
        return quoted(value.toString());
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::LongLong:
        return QString::number(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::ULongLong:
        return QString::number(value.toULongLong());
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Double:
        return QString::number(value.toDouble(), 'g', 17);
    case QMetaType::QByteArray:
        return formatBytes(value.toByteArray());
    case QMetaType::QStringList: {
        const QStringList list = value.toStringList();
        QStringList items;
        for (int i = 0; i < list.size() && i < maxShownItems; ++i)
            items << quoted(list.at(i));
        return joinItems(items, list.size(), QLatin1Char('['), QLatin1Char(']'));
    }
    default:
        break;
    }
    if (type == qMetaTypeId<QDBusVariant>()) {
        const QVariant inner = value.value<QDBusVariant>().variant();
        return QStringLiteral("<%1 %2>").arg(dbusSignature(inner), formatDBusValue(inner));
    }
    if (type == qMetaTypeId<QDBusObjectPath>())
        return quoted(value.value<QDBusObjectPath>().path());
    if (type == qMetaTypeId<QDBusSignature>())
        return quoted(value.value<QDBusSignature>().signature());
    if (type == qMetaTypeId<QDBusUnixFileDescriptor>())
        return QStringLiteral("<file descriptor>");
    if (type == qMetaTypeId<QDBusArgument>())
        return formatArgument(value.value<QDBusArgument>());
    if (!value.isValid())
        return QStringLiteral("<invalid>");
    return QStringLiteral("<%1>").arg(QString::fromLatin1(value.typeName()));
}

} // namespace refcam
