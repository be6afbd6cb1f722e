// SPDX-License-Identifier: MIT
// GetCameraCapabilities' text: the camera's answer as a JSON object.
#include "CameraUIService_p.h"

#include <QLocale>
#include <QVariant>
#include <QtNumeric>

namespace {

void appendJsonString(QByteArray &out, const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    // toUtf8() turns a lone surrogate into U+FFFD, so the text is always valid UTF-8.
    const QByteArray utf8 = text.toUtf8();
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xf];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

// The value kinds the platform hands over (plain Qt values); anything else is null.
void appendJson(QByteArray &out, const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        out += '{';
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (it != map.cbegin())
                out += ',';
            appendJsonString(out, it.key());
            out += ':';
            appendJson(out, it.value());
        }
        out += '}';
        return;
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        out += '[';
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (i > 0)
                out += ',';
            appendJson(out, list.at(i));
        }
        out += ']';
        return;
    }
    case QMetaType::QString:
    case QMetaType::QByteArray:
        appendJsonString(out, value.toString());
        return;
    case QMetaType::Bool:
        out += value.toBool() ? "true" : "false";
        return;
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::LongLong:
        out += QByteArray::number(value.toLongLong());
        return;
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::ULongLong:
        out += QByteArray::number(value.toULongLong());
        return;
    case QMetaType::Double: {
        const double number = value.toDouble();
        // JSON has no NaN or infinity.
        out += qIsFinite(number) ? QByteArray::number(number, 'g', QLocale::FloatingPointShortest)
                                 : QByteArray("null");
        return;
    }
    default:
        out += "null";
    }
}

} // namespace

QByteArray CameraUIServicePrivate::toJson(const QVariantMap &capabilities)
{
    // Written here rather than through QJsonDocument, which costs a round trip's worth of
    // time per call; the tests parse the text with QJsonDocument.
    QByteArray out;
    out.reserve(1024);
    appendJson(out, capabilities);
    return out;
}
