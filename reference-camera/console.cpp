// SPDX-License-Identifier: MIT
#include "console.h"

#include <cstdio>

namespace refcam {

QString programPrefix()
{
    return QStringLiteral("reference-camera: ");
}

static void writeLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void printOut(const QString &line)
{
    writeLine(stdout, line);
}

void printErr(const QString &line)
{
    writeLine(stderr, line);
}

} // namespace refcam
