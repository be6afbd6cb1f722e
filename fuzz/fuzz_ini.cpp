// SPDX-License-Identifier: MIT
// The INI reader on arbitrary bytes: IniReader::fromData directly, and ConfigManager and
// KivConfig on the same bytes as a file. All three must agree on every lookup.

#include "IniReader.h"

#include <ConfigManager.h>
#include <KivConfig.h>

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

std::string s_dir;

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "fuzz_ini: %s\n", what);
        abort();
    }
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/tmp/fuzz-ini-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    s_dir = dir;
    qunsetenv("KIV_ROOT");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const IniReader reader = IniReader::fromData(bytes);

    const std::string path = s_dir + "/fuzz.cfg";
    {
        QFile file(QString::fromStdString(path));
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && file.write(bytes) == bytes.size(),
            "cannot write the input file");
    }
    bool ok = false;
    ConfigManager manager("fuzz.cfg", ok, false, s_dir, false);
    check(ok, "ConfigManager did not open an existing file");
    const KivConfig config(QString::fromStdString(path), false);
    check(config.isValid(), "KivConfig did not open an existing file");

    // The keys the system reads, and short names the fuzzer finds quickly.
    static const char *const lookups[][2]
        = { { "PHONE_MODEL", "PhoneModelID" }, { "cameraSetting", "photoAutoBlog" },
              { "cameraSetting", "videoAutoBlog" }, { "g", "k" }, { "", "k" }, { "g", "" } };
    for (const auto &lookup : lookups) {
        const QByteArray group(lookup[0]);
        const QByteArray key(lookup[1]);
        QByteArray value = "untouched";
        const bool found = reader.value(group, key, &value);
        check(found || value == "untouched", "a failed lookup changed the value");
        if (found) {
            check(!value.contains('\n'), "a value spans lines");
            check(value.isEmpty() || (!isBlank(value.front()) && !isBlank(value.back())),
                "a value keeps blanks at its ends");
        }

        std::string managed = "untouched";
        const bool managerFound = manager.getSettingInfo(lookup[0], lookup[1], managed);
        check(managerFound == found, "ConfigManager and IniReader disagree on presence");
        check(!found || QByteArray::fromStdString(managed) == value,
            "ConfigManager and IniReader disagree on the value");

        const QString fallback = QStringLiteral("\x01-absent");
        const QString entry
            = config.readEntry(QString::fromUtf8(group), QString::fromUtf8(key), fallback);
        check(entry == (found ? QString::fromUtf8(value) : fallback),
            "KivConfig and IniReader disagree on the value");
        const bool asTrue
            = config.readBoolEntry(QString::fromUtf8(group), QString::fromUtf8(key), true);
        const bool asFalse
            = config.readBoolEntry(QString::fromUtf8(group), QString::fromUtf8(key), false);
        // Only a recognised spelling may ignore the default.
        if (!found)
            check(asTrue && !asFalse, "a missing entry did not give the default");
        else if (asTrue == asFalse)
            check(value.size() <= 5, "a long value read as a boolean");
    }
    return 0;
}
