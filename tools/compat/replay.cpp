// Runs profile cases through names/, as probe.c runs them through the Windows
// calls, and lists how our codec maps GBK. One case a line, tab-separated:
//   name, kind, file bytes in hex ("-": no file), then operations
//   R:section:key        read (buffer of 255, default "")
//   W:section:key:value  write
// every text in hex GBK. Each operation prints a line:
//   name, index, R, result bytes      or      name, index, W, 1|0, file bytes after
#include "names/gbk_codec.h"
#include "names/message_sink.h"
#include "names/profile_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

class SilentMessages : public relay::MessageSink {
public:
    void show_message(Icon, const QString&, const QString&) override {}
};

QByteArray file_hex(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toHex() : QByteArrayLiteral("-");
}

int run_cases(const QString& cases, const QString& folder) {
    QFile in(cases);
    if (!in.open(QIODevice::ReadOnly)) {
        return 1;
    }
    const relay::GbkCodec codec;
    SilentMessages messages;
    QTextStream out(stdout);
    for (int number = 0; !in.atEnd(); ++number) {
        const QList<QByteArray> fields = in.readLine().trimmed().split('\t');
        if (fields.size() < 3) {
            continue;
        }
        const QString path = QDir(folder).filePath(QStringLiteral("c%1.ini").arg(number));
        QFile::remove(path);
        if (fields[2] != "-") {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) ||
                file.write(QByteArray::fromHex(fields[2])) < 0) {
                return 1;
            }
        }
        for (qsizetype op = 3; op < fields.size(); ++op) {
            QList<QString> texts;
            for (const QByteArray& hex : fields[op].split(':').mid(1)) {
                texts.append(codec.decode(QByteArray::fromHex(hex)));
            }
            texts.resize(3);
            out << fields[0] << '\t' << op - 3 << '\t' << fields[op].left(1) << '\t';
            if (fields[op].startsWith('R')) {
                const QString value =
                    relay::read_profile_string(messages, path, texts[0], texts[1]);
                out << codec.encode(value).value_or("?").toHex();
            } else {
                QString error;
                const bool written =
                    relay::write_profile_values(path, {{texts[0], texts[1], texts[2]}}, &error);
                out << (written ? 1 : 0) << '\t' << file_hex(path);
            }
            out << '\n';
        }
    }
    return 0;
}

// The same lists as probe.exe map prints.
void list_mapping() {
    const relay::GbkCodec codec;
    QTextStream out(stdout);
    for (char32_t code = 0; code <= 0xFFFF; ++code) {
        if (code >= 0xD800 && code <= 0xDFFF) {
            continue;
        }
        const std::optional<QByteArray> bytes = codec.encode(QString(QChar(code)));
        out << "E " << QString::number(code, 16).rightJustified(4, u'0') << ' '
            << (bytes ? bytes->toHex() : QByteArrayLiteral("-")) << '\n';
    }
    for (int lead = 0; lead <= 0xFF; ++lead) {
        for (int trail = -1; trail <= 0xFF; ++trail) {
            if (trail >= 0 && (lead < 0x81 || lead > 0xFE)) {
                break;
            }
            if (trail == 0) {
                continue;
            }
            QByteArray bytes(1, char(lead));
            if (trail > 0) {
                bytes += char(trail);
            }
            const QString text = codec.decode(bytes);
            out << "D " << bytes.toHex() << ' ';
            if (text.isEmpty() || text.contains(QChar::ReplacementCharacter)) {
                out << '-';
            }
            for (const QChar c : text) {
                if (!text.contains(QChar::ReplacementCharacter)) {
                    out << QString::number(c.unicode(), 16).rightJustified(4, u'0');
                }
            }
            out << '\n';
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 2 && args[1] == u"map") {
        list_mapping();
        return 0;
    }
    if (args.size() == 3) {
        return run_cases(args[1], args[2]);
    }
    std::fprintf(stderr, "usage: compat-replay CASES FOLDER | compat-replay map\n");
    return 2;
}
