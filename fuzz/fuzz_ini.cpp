// The profile file reader and writer on arbitrary file bytes: no crash; a value
// written reads back exactly; every other key reads as before; a second parse of
// the written bytes sees what the first one saw.
#include "names/gbk_codec.h"
#include "names/ini_document.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QRegularExpression>
#include <QString>

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool is_blank(QChar c) {
    const char16_t u = c.unicode();
    return u == u'\t' || u == u'\n' || u == u'\v' || u == u'\f' || u == u'\r' || u == u' ' ||
           u == u'\x1a';
}

QString folded(QString text) {
    while (!text.isEmpty() && is_blank(text.front())) {
        text.remove(0, 1);
    }
    while (!text.isEmpty() && is_blank(text.back())) {
        text.chop(1);
    }
    return text.toCaseFolded();
}

// Section and key names as a reader of the text would see them, in file order.
std::vector<std::pair<QString, QString>> probes(const QString& text) {
    std::vector<std::pair<QString, QString>> found;
    QString section;
    for (const QString& raw : text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")))) {
        const QString line = folded(raw);
        if (line.startsWith(u'[')) {
            const qsizetype close = line.lastIndexOf(u']');
            section = folded(line.mid(1, close < 0 ? -1 : close - 1));
        } else if (!line.isEmpty()) {
            // A line without "=" is a key without a value.
            found.emplace_back(section, folded(line.left(line.indexOf(u'='))));
        }
    }
    return found;
}

QString text_of(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const QString section = text_of(input.ConsumeRandomLengthString(24));
    const QString key = text_of(input.ConsumeRandomLengthString(24));
    const QString value = text_of(input.ConsumeRandomLengthString(64));
    const std::string rest = input.ConsumeRemainingBytesAsString();
    const QByteArray file(rest.data(), static_cast<qsizetype>(rest.size()));

    const relay::GbkCodec codec;
    relay::IniDocument before(file, codec);
    const auto keys = probes(codec.decode(file));
    std::vector<std::optional<QByteArray>> old_values;
    for (const auto& [probe_section, probe_key] : keys) {
        old_values.push_back(before.value(probe_section, probe_key));
    }

    relay::IniDocument document(file, codec);
    if (!document.set_value(section, key, value)) {
        check(document.to_bytes() == file);  // a refused write changes nothing
        return 0;
    }
    const QByteArray written = document.to_bytes();
    relay::IniDocument after(written, codec);
    const std::optional<QByteArray> read_back = after.value(section, key);
    check(read_back.has_value());
    check(codec.decode(*read_back) == value);

    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto& [probe_section, probe_key] = keys[i];
        if (probe_section == folded(section) && probe_key == folded(key)) {
            continue;
        }
        check(after.value(probe_section, probe_key) == old_values[i]);
    }
    return 0;
}
