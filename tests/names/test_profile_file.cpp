#include "file_bytes.h"
#include "names/profile_file.h"
#include "support/recording_messages.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <csignal>

using namespace relay;
using relay::testing::file_bytes;
using relay::testing::gbk;
using relay::testing::put_file_bytes;
using relay::testing::RecordingMessages;
using Icon = MessageSink::Icon;

namespace {

// GBK characters whose second byte is "]", "[", "A" and "a".
const QByteArray TrailBracketClose("\xB0\x5D");  // 癩
const QByteArray TrailBracketOpen("\xB0\x5B");   // 癧
const QByteArray TrailUpperA("\xB0\x41");        // 癆
const QByteArray TrailLowerA("\xB0\x61");        // 癮

QByteArray raw(const char* text) {
    return QByteArray(text);
}

// Files larger than max_bytes cannot be written while it lives, as on a full
// disk; this works for root too.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t max_bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = max_bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_old); }

private:
    rlimit m_old{};
};

}  // namespace

class TestProfileFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;
    RecordingMessages m_messages;

    QString read(const QString& section, const QString& key) {
        return read_profile_string(m_messages, m_path, section, key);
    }

private Q_SLOTS:
    void init() {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("profile.ini"));
        QFile::remove(m_path);
        m_messages.clear();
    }

    void readsAsTheWindowsCallsDo_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");

        QTest::newRow("plain") << raw("[s]\r\nk=v\r\n") << "s"
                               << "k"
                               << "v";
        QTest::newRow("letter case of names") << raw("[SeC]\r\nKeY=v\r\n") << "sEc"
                                              << "kEy"
                                              << "v";
        QTest::newRow("Greek letter case")
            << gbk("[Α]\r\nΒ=v\r\n") << QStringLiteral("α") << QStringLiteral("β") << "v";
        QTest::newRow("full-width letter case")
            << gbk("[Ｋ]\r\nｓ=v\r\n") << QStringLiteral("ｋ") << QStringLiteral("Ｓ") << "v";
        QTest::newRow("second bytes A and a are different characters")
            << "[s]\r\n" + TrailUpperA + "=v\r\n"
            << "s" << QString::fromUtf16(u"癮") << "";
        QTest::newRow("second byte ] inside a section name")
            << "[a" + TrailBracketClose + "b]\r\nk=v\r\n"
            << QString::fromUtf16(u"a癩b") << "k"
            << "v";
        QTest::newRow("second byte [ at a key's start") << "[s]\r\n" + TrailBracketOpen + "=v\r\n"
                                                        << "s" << QString::fromUtf16(u"癧") << "v";
        QTest::newRow("name runs to the last ]") << raw("[a]b]\r\nk=v\r\n") << "a]b"
                                                 << "k"
                                                 << "v";
        QTest::newRow("header without ]") << raw("[s\r\nk=v\r\n") << "s"
                                          << "k"
                                          << "v";
        QTest::newRow("blanks trimmed everywhere")
            << raw(" \t[ \x0bs\x0c ]\x1a \r\n\x1a k \t=\t v v \x1a\r\n") << "s"
            << "k"
            << "v v";
        QTest::newRow("blanks around the asked names") << raw("[s]\r\nk=v\r\n") << " s\t"
                                                       << "\tk "
                                                       << "v";
        QTest::newRow("ideographic space is no blank")
            << gbk("[s]\r\nk=\u3000v\u3000\r\n") << "s"
            << "k" << QString::fromUtf16(u"\u3000v\u3000");
        QTest::newRow("double quotes removed") << raw("[s]\r\nk=\"  v \"\r\n") << "s"
                                               << "k"
                                               << "  v ";
        QTest::newRow("single quotes removed") << raw("[s]\r\nk='v'\r\n") << "s"
                                               << "k"
                                               << "v";
        QTest::newRow("one pair only") << raw("[s]\r\nk=\"\"v\"\"\r\n") << "s"
                                       << "k"
                                       << "\"v\"";
        QTest::newRow("unmatched quotes kept") << raw("[s]\r\nk=\"v'\r\n") << "s"
                                               << "k"
                                               << "\"v'";
        QTest::newRow("a lone quote kept") << raw("[s]\r\nk=\"\r\n") << "s"
                                           << "k"
                                           << "\"";
        QTest::newRow("blanks outside quotes trimmed") << raw("[s]\r\nk=  'v'  \r\n") << "s"
                                                       << "k"
                                                       << "v";
        QTest::newRow("empty value") << raw("[s]\r\nk=\r\n") << "s"
                                     << "k"
                                     << "";
        QTest::newRow("= inside the value") << raw("[s]\r\nk=a=b\r\n") << "s"
                                            << "k"
                                            << "a=b";
        QTest::newRow("first section of a name wins")
            << raw("[s]\r\na=1\r\n[t]\r\nk=2\r\n[S]\r\nk=3\r\n") << "s"
            << "k"
            << "";
        QTest::newRow("first key of a name wins") << raw("[s]\r\nk=1\r\nK=2\r\n") << "s"
                                                  << "k"
                                                  << "1";
        QTest::newRow("a line without = is no key") << raw("[s]\r\nk\r\nk=2\r\n") << "s"
                                                    << "k"
                                                    << "2";
        QTest::newRow("keys before any section belong to none") << raw("k=1\r\n[s]\r\n") << "s"
                                                                << "k"
                                                                << "";
        QTest::newRow("comment lines") << raw("; c\r\n[s]\r\n;k=x\r\nk=v\r\n") << "s"
                                       << "k"
                                       << "v";
        QTest::newRow("blank lines between sections")
            << raw("[a]\r\n\r\n[s]\r\n\r\nk=v\r\n\r\n") << "s"
            << "k"
            << "v";
        QTest::newRow("LF line ends") << raw("[a]\nk=1\n[s]\nk=v\n") << "s"
                                      << "k"
                                      << "v";
        QTest::newRow("CR line ends") << raw("[a]\rk=1\r[s]\rk=v\r") << "s"
                                      << "k"
                                      << "v";
        QTest::newRow("mixed line ends") << raw("[a]\r\n\r[s]\nk=v") << "s"
                                         << "k"
                                         << "v";
        QTest::newRow("UTF-8 byte-order mark is just bytes")
            << raw("\xEF\xBB\xBF[s]\r\nk=v\r\n") << "s"
            << "k"
            << "";
        QTest::newRow("missing section") << raw("[s]\r\nk=v\r\n") << "t"
                                         << "k"
                                         << "";
        QTest::newRow("missing key") << raw("[s]\r\nk=v\r\n") << "s"
                                     << "j"
                                     << "";
        QTest::newRow("NUL ends the value") << QByteArray("[s]\r\nk=ab\0cd\r\n", 14) << "s"
                                            << "k"
                                            << "ab";
        QTest::newRow("GBK names and value")
            << gbk("[地址码1]\r\n第1路名称=泵站\r\n") << QString::fromUtf16(u"地址码1")
            << QString::fromUtf16(u"第1路名称") << QString::fromUtf16(u"泵站");
        QTest::newRow("cut to 254 bytes") << "[s]\r\nk=" + QByteArray(300, 'a') + "\r\n"
                                          << "s"
                                          << "k" << QString(254, u'a');
        QTest::newRow("cut never splits a double-byte character")
            << gbk("[s]\r\nk=a" + QString(200, u'中') + "\r\n") << "s"
            << "k"
            << "a" + QString(126, u'中');
        QTest::newRow("254 bytes exactly") << gbk("[s]\r\nk=" + QString(127, u'中') + "\r\n") << "s"
                                           << "k" << QString(127, u'中');
    }
    void readsAsTheWindowsCallsDo() {
        QFETCH(QByteArray, file);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QVERIFY(put_file_bytes(m_path, file));
        QCOMPARE(read(section, key), value);
        QCOMPARE(m_messages.count(), 0);
    }

    void writesChangeOnlyTheTargetLine_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("replace where it stands, every other byte kept")
            << raw("; top\r\n[s]\n  k  = old ; c\n\n x y z\r[t]\r\nk=1") << "s"
            << "k"
            << "new" << raw("; top\r\n[s]\n  k  =new\r\n\n x y z\r[t]\r\nk=1");
        QTest::newRow("stored spelling of the key kept") << raw("[S]\r\nKEY=1\r\n") << "s"
                                                         << "key"
                                                         << "2" << raw("[S]\r\nKEY=2\r\n");
        QTest::newRow("first key of a name") << raw("[s]\r\nk=1\r\nk=2\r\n") << "s"
                                             << "k"
                                             << "9" << raw("[s]\r\nk=9\r\nk=2\r\n");
        QTest::newRow("first section of a name")
            << raw("[s]\r\na=1\r\n[s]\r\nk=2\r\n") << "s"
            << "k"
            << "9" << raw("[s]\r\na=1\r\nk=9\r\n[s]\r\nk=2\r\n");
        QTest::newRow("new key after the section's last non-blank line")
            << raw("[s]\r\na=1\r\n; note\r\n\r\n[t]\r\n") << "s"
            << "k"
            << "v" << raw("[s]\r\na=1\r\n; note\r\nk=v\r\n\r\n[t]\r\n");
        QTest::newRow("new key in an empty section") << raw("[s]\r\n\r\n[t]") << "s"
                                                     << "k"
                                                     << "v" << raw("[s]\r\nk=v\r\n\r\n[t]");
        QTest::newRow("new key after a last line without line end")
            << raw("[s]\r\na=1") << "s"
            << "k"
            << "v" << raw("[s]\r\na=1\r\nk=v\r\n");
        QTest::newRow("new section at the end, no blank line")
            << raw("[s]\r\na=1\r\n") << "t"
            << "k"
            << "v" << raw("[s]\r\na=1\r\n[t]\r\nk=v\r\n");
        QTest::newRow("new section after a last line without line end")
            << raw("[s]\r\na=1") << "t"
            << "k"
            << "v" << raw("[s]\r\na=1\r\n[t]\r\nk=v\r\n");
        QTest::newRow("new section after blank lines at the end")
            << raw("[s]\r\na=1\r\n\r\n") << "t"
            << "k"
            << "v" << raw("[s]\r\na=1\r\n\r\n[t]\r\nk=v\r\n");
        QTest::newRow("new section in an empty file") << QByteArray() << "t"
                                                      << "k"
                                                      << "v" << raw("[t]\r\nk=v\r\n");
        QTest::newRow("the written line ends in CR LF in an LF file")
            << raw("[s]\nk=1\nz=2\n") << "s"
            << "k"
            << "2" << raw("[s]\nk=2\r\nz=2\n");
        QTest::newRow("blanks around the value quoted") << raw("[s]\r\nk=1\r\n") << "s"
                                                        << "k"
                                                        << " v\t" << raw("[s]\r\nk=\" v\t\"\r\n");
        QTest::newRow("quotes around the value quoted") << raw("[s]\r\nk=1\r\n") << "s"
                                                        << "k"
                                                        << "'v'" << raw("[s]\r\nk=\"'v'\"\r\n");
        QTest::newRow("a quote inside is left alone") << raw("[s]\r\nk=1\r\n") << "s"
                                                      << "k"
                                                      << "a\"b" << raw("[s]\r\nk=a\"b\r\n");
        QTest::newRow("ideographic space is not quoted")
            << raw("[s]\r\nk=1\r\n") << "s"
            << "k" << QString::fromUtf16(u"\u3000v") << gbk("[s]\r\nk=\u3000v\r\n");
        QTest::newRow("empty value") << raw("[s]\r\nk=1\r\n") << "s"
                                     << "k"
                                     << "" << raw("[s]\r\nk=\r\n");
        QTest::newRow("names trimmed") << QByteArray() << " t\t"
                                       << " k "
                                       << "v" << raw("[t]\r\nk=v\r\n");
        QTest::newRow("GBK text") << QByteArray() << QString::fromUtf16(u"地址码1")
                                  << QString::fromUtf16(u"第1路名称") << QString::fromUtf16(u"泵站")
                                  << gbk("[地址码1]\r\n第1路名称=泵站\r\n");
        QTest::newRow("names compared decoded, not as bytes")
            << "[s]\r\n" + TrailUpperA + "=1\r\n"
            << "s" << QString::fromUtf16(u"癮") << "2"
            << "[s]\r\n" + TrailUpperA + "=1\r\n" + TrailLowerA + "=2\r\n";
        QTest::newRow("byte-order mark kept, its line no header")
            << raw("\xEF\xBB\xBF[s]\r\n") << "s"
            << "k"
            << "v" << raw("\xEF\xBB\xBF[s]\r\n[s]\r\nk=v\r\n");
        QTest::newRow("a header with a blank after ] still leads its section")
            << raw("[s] \r\nk=1\r\n") << "s"
            << "k"
            << "2" << raw("[s] \r\nk=2\r\n");
    }
    void writesChangeOnlyTheTargetLine() {
        QFETCH(QByteArray, before);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        QVERIFY(put_file_bytes(m_path, before));
        QCOMPARE(write_profile_string(m_messages, m_path, section, key, value), 1);
        QCOMPARE(file_bytes(m_path), after);
        QCOMPARE(read(section, key), value);
        QCOMPARE(m_messages.count(), 0);
    }

    void awkwardValuesReadBackAsWritten_data() {
        QTest::addColumn<QString>("value");
        const char16_t* values[] = {u" lead",    u"trail ",   u"\tTab\t",  u"\"quoted\"",
                                    u"'single'", u"\"",       u"'",        u"a\"",
                                    u"'a",       u"  ",       u"\x1a",     u"=",
                                    u"a=b",      u"[x]",      u";comment", u"\u3000全角\u3000",
                                    u"€",        u"中文名称", u"ü",        u"\"'mixed\"'"};
        for (const char16_t* value : values) {
            QTest::newRow(QString::fromUtf16(value).toUtf8().constData())
                << QString::fromUtf16(value);
        }
    }
    void awkwardValuesReadBackAsWritten() {
        QFETCH(QString, value);
        QVERIFY(put_file_bytes(m_path, "[s]\r\nk=1\r\n"));
        QCOMPARE(write_profile_string(m_messages, m_path, "s", "k", value), 1);
        QCOMPARE(read("s", "k"), value);
    }

    void unwritableTextsAreRefusedAndNothingChanges_data() {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("LF in the value") << "s"
                                         << "k"
                                         << "a\nb";
        QTest::newRow("CR in the value") << "s"
                                         << "k"
                                         << "a\rb";
        QTest::newRow("NUL in the value") << "s"
                                          << "k" << QString::fromUtf16(u"a\0b", 3);
        QTest::newRow("no GBK form") << "s"
                                     << "k" << QString::fromUtf16(u"a😀");
        QTest::newRow("micro sign has no GBK form") << "s"
                                                    << "k" << QString::fromUtf16(u"5µs");
        QTest::newRow("line break in the section") << "s\n[t]"
                                                   << "k"
                                                   << "v";
        QTest::newRow("= in the key") << "s"
                                      << "k=j"
                                      << "v";
        QTest::newRow("key would read as a header") << "s"
                                                    << "[k"
                                                    << "v";
    }
    void unwritableTextsAreRefusedAndNothingChanges() {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QByteArray before("[s]\r\nk=1\r\n");
        QVERIFY(put_file_bytes(m_path, before));
        QString error;
        QCOMPARE(write_profile_string(m_messages, m_path, section, key, value, &error), 0);
        QVERIFY(!error.isEmpty());
        QCOMPARE(file_bytes(m_path), before);
        QCOMPARE(m_messages.count(), 0);
    }

    void unstorableReasonNamesTheCharacters() {
        QCOMPARE(unstorable_text_reason("ok 名称"), QString());
        QVERIFY(unstorable_text_reason("a\nb").contains(QStringLiteral("换行符")));
        QVERIFY(unstorable_text_reason(QString::fromUtf16(u"a😀b😀µ"))
                    .contains(QString::fromUtf16(u"“😀µ”")));
    }

    void missingFileIsReportedOncePerCall() {
        QCOMPARE(read("s", "k"), QString());
        QCOMPARE(m_messages.count(), 1);
        const RecordingMessages::Message& message = m_messages.m_messages.front();
        QCOMPARE(message.icon, Icon::Error);
        QCOMPARE(message.title, QStringLiteral("File Not Found"));
        QCOMPARE(message.text, QDir::toNativeSeparators(m_path) + QStringLiteral(" not found."));

        for (int i = 0; i < 16; ++i) {
            read("s", "k");
        }
        QCOMPARE(m_messages.count(), 17);
        QVERIFY(!section_exists(m_messages, m_path, "s"));
        QCOMPARE(m_messages.count(), 18);
    }

    void writeToMissingFileCreatesNothing() {
        QCOMPARE(write_profile_string(m_messages, m_path, "s", "k", "v"), 0);
        QVERIFY(!QFileInfo::exists(m_path));
        QCOMPARE(m_messages.texts(),
                 QStringList{QDir::toNativeSeparators(m_path) + QStringLiteral(" not found.")});
    }

    void aDirectoryIsNoFile() {
        QVERIFY(QDir().mkpath(m_path));
        QCOMPARE(read("s", "k"), QString());
        QCOMPARE(m_messages.count(), 1);
        QVERIFY(QDir(m_path).removeRecursively());
    }

    void unreadableFileIsReported() {
        QVERIFY(put_file_bytes(m_path, "[s]\r\nk=v\r\n"));
        QFile::setPermissions(m_path, QFile::WriteOwner);
        if (QFile file(m_path); file.open(QIODevice::ReadOnly)) {
            QSKIP("permissions do not stop this user (root) from reading");
        }
        QCOMPARE(read("s", "k"), QString());
        QVERIFY(!section_exists(m_messages, m_path, "s"));
        QCOMPARE(m_messages.count(), 2);
        QVERIFY(m_messages.m_messages[0].text.startsWith(QStringLiteral("无法读取 ") +
                                                         QDir::toNativeSeparators(m_path)));
        QString error;
        QCOMPARE(write_profile_string(m_messages, m_path, "s", "k", "w", &error), 0);
        QVERIFY(!error.isEmpty());
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(file_bytes(m_path), QByteArray("[s]\r\nk=v\r\n"));
    }

    void platformWriteCreatesAMissingFile() {
        QString error;
        QVERIFY(write_profile_values(m_path, {{"s", "k", "v"}, {"s", "j", "w"}}, &error));
        QCOMPARE(file_bytes(m_path), QByteArray("[s]\r\nk=v\r\nj=w\r\n"));
        QCOMPARE(m_messages.count(), 0);
    }

    void sectionTestIsTheExactWholeLine_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("exists");
        QTest::newRow("exact line") << raw("[a]\r\n[s]\r\nk=v\r\n") << true;
        QTest::newRow("last line without line end") << raw("k=v\r\n[s]") << true;
        QTest::newRow("LF line ends") << raw("x\n[s]\n") << true;
        QTest::newRow("CR line ends") << raw("x\r[s]\ry") << true;
        QTest::newRow("blank before [") << raw(" [s]\r\n") << false;
        QTest::newRow("tab before [") << raw("\t[s]\r\n") << false;
        QTest::newRow("blank after ]") << raw("[s] \r\n") << false;
        QTest::newRow("blank inside") << raw("[ s]\r\n") << false;
        QTest::newRow("other letter case") << raw("[S]\r\n") << false;
        QTest::newRow("header text as a key's value") << raw("k=[s]\r\n") << false;
        QTest::newRow("byte-order mark before it") << raw("\xEF\xBB\xBF[s]\r\n") << false;
        QTest::newRow("empty file") << QByteArray() << false;
    }
    void sectionTestIsTheExactWholeLine() {
        QFETCH(QByteArray, file);
        QFETCH(bool, exists);
        QVERIFY(put_file_bytes(m_path, file));
        QCOMPARE(section_exists(m_messages, m_path, "s"), exists);
        QCOMPARE(m_messages.count(), 0);
    }

    void sectionTestMatchesGbkText() {
        QVERIFY(put_file_bytes(m_path, gbk("[软件属性]\r\n[地址码0]\r\n")));
        QVERIFY(section_exists(m_messages, m_path, QString::fromUtf16(u"地址码0")));
        QVERIFY(!section_exists(m_messages, m_path, QString::fromUtf16(u"地址码1")));
    }

    void sectionTestStopsAtTheFirstMatchingLine() {
        // A sparse file of 8 GiB after the header line: reading it all would
        // take long and could not be held in memory.
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x=1\r\n[s]\r\n");
        QVERIFY(file.resize(qint64(8) << 30));
        file.close();
        QVERIFY(section_exists(m_messages, m_path, "s"));
        QFile::remove(m_path);
    }

    void aFailedWriteLeavesTheFileWhole() {
        const QByteArray before = "[s]\r\nk=1\r\n" + QByteArray(200000, ';') + "\r\n";
        QVERIFY(put_file_bytes(m_path, before));
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        const QFile::Permissions permissions = QFileInfo(m_path).permissions();
        QString error;
        {
            const FileSizeLimit full_disk(64 * 1024);
            QCOMPARE(write_profile_string(m_messages, m_path, "s", "k", "2", &error), 0);
        }
        QVERIFY2(!error.isEmpty(), "the reason is given");
        QCOMPARE(file_bytes(m_path), before);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{"profile.ini"});
        QCOMPARE(m_messages.count(), 0);

        QCOMPARE(write_profile_string(m_messages, m_path, "s", "k", "2"), 1);
        QCOMPARE(QFileInfo(m_path).permissions(), permissions);
    }
};

QTEST_GUILESS_MAIN(TestProfileFile)
#include "test_profile_file.moc"
