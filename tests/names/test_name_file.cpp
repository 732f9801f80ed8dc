#include "file_bytes.h"
#include "names/name_file.h"
#include "names/profile_file.h"
#include "support/recording_messages.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace relay;
using relay::testing::file_bytes;
using relay::testing::gbk;
using relay::testing::put_file_bytes;
using relay::testing::RecordingMessages;
using Icon = MessageSink::Icon;

namespace {

const QString DefaultTitle = QStringLiteral("16路串口控制继电器板Tavi");
const QString Created = QStringLiteral("名称文件被创建。");

// One address's default section, spelt out.
QString default_section(int address) {
    QString text = QStringLiteral("[地址码%1]\r\n").arg(address);
    for (int channel = 1; channel <= 16; ++channel) {
        text += QStringLiteral("第%1路名称=第%1路\r\n").arg(channel);
    }
    return text;
}

// The default file as the key-by-key writes leave a missing file.
QByteArray expected_default_file() {
    QString text = QStringLiteral("[软件属性]\r\n名称=16路串口控制继电器板Tavi\r\n");
    for (int address = 0; address <= 255; ++address) {
        text += default_section(address);
    }
    return gbk(text);
}

// bytes with the first `from` after `after` replaced by `to`.
QByteArray replace_first(QByteArray bytes, const QString& after, const QString& from,
                         const QString& to) {
    const qsizetype at = bytes.indexOf(gbk(from), bytes.indexOf(gbk(after)));
    return bytes.replace(at, gbk(from).size(), gbk(to));
}

QStringList default_names() {
    QStringList names;
    for (int channel = 1; channel <= 16; ++channel) {
        names.append(QStringLiteral("第%1路").arg(channel));
    }
    return names;
}

// The default contents written as the key-by-key description has it: 4097
// single-key platform writes, the title first.
void write_key_by_key(const QString& path) {
    QString error;
    QVERIFY2(write_profile_values(path, {{"软件属性", "名称", DefaultTitle}}, &error),
             qPrintable(error));
    for (int address = 0; address <= 255; ++address) {
        for (int channel = 1; channel <= 16; ++channel) {
            QVERIFY2(write_profile_values(path,
                                          {{QStringLiteral("地址码%1").arg(address),
                                            QStringLiteral("第%1路名称").arg(channel),
                                            QStringLiteral("第%1路").arg(channel)}},
                                          &error),
                     qPrintable(error));
        }
    }
}

// A file from elsewhere without the marker line: other line ends, comments, a
// near miss of the marker holding names, a section the defaults do not touch,
// a last line without line end.
QByteArray foreign_file() {
    return gbk(
        "; kept comment\n"
        "[软件属性]\n"
        "名称=旧标题\n"
        "[地址码0] \r\n"
        "第3路名称=水泵\r\n"
        "第17路名称=多余\r\n"
        "\r\n"
        "[地址码05]\r"
        "第1路名称=保留\r"
        "[地址码7]\r\n"
        "第2路名称 = \"  带空格 \"\r\n"
        "第1路名称=风机");
}

}  // namespace

class TestNameFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    RecordingMessages m_messages;

    QString path() const { return m_dir.filePath(QStringLiteral("name.txt")); }
    QString shown_path() const { return QDir::toNativeSeparators(path()); }
    QString missing_text() const { return shown_path() + QStringLiteral(" not found."); }

    // Runs the start-up step; returns the title handed to the window.
    QString start(NameFile& names) {
        QString title = QStringLiteral("<not set>");
        names.init_name_file([&](const QString& text) { title = text; });
        return title;
    }

private Q_SLOTS:
    void init() {
        QVERIFY(m_dir.isValid());
        QFile::remove(path());
        m_messages.clear();
    }

    void pathIsTheDirectoryAndNameTxt() {
        NameFile names(m_messages, m_dir.path());
        QCOMPARE(names.name_file_path(), m_dir.path() + QStringLiteral("/name.txt"));
    }

    void firstStartCreatesTheDefaultFile() {
        NameFile names(m_messages, m_dir.path());
        QCOMPARE(start(names), DefaultTitle);

        QCOMPARE(m_messages.count(), 2);
        QCOMPARE(m_messages.m_messages[0].icon, Icon::Error);
        QCOMPARE(m_messages.m_messages[0].title, QStringLiteral("File Not Found"));
        QCOMPARE(m_messages.m_messages[0].text, missing_text());
        QCOMPARE(m_messages.m_messages[1].icon, Icon::None);
        QCOMPARE(m_messages.m_messages[1].title, QString());
        QCOMPARE(m_messages.m_messages[1].text, Created);

        const QByteArray bytes = file_bytes(path());
        QVERIFY(!bytes.startsWith("\xEF\xBB\xBF"));
        QVERIFY(
            bytes.startsWith(gbk("[软件属性]\r\n名称=16路串口控制继电器板Tavi\r\n[地址码0]\r\n"
                                 "第1路名称=第1路\r\n第2路名称=第2路\r\n")));
        QVERIFY(bytes.endsWith(gbk(default_section(254) + default_section(255))));
        QVERIFY(bytes.endsWith(gbk("\r\n第16路名称=第16路\r\n")));

        const QStringList lines = QString(QStringDecoder("GBK").decode(bytes)).split("\r\n");
        QCOMPARE(lines.size(), 257 + 4097 + 1);  // the last line end leaves an empty rest
        QCOMPARE(lines.filter(QRegularExpression("^\\[.*\\]$")).size(), 257);
        QCOMPARE(lines.filter("=").size(), 4097);
        QCOMPARE(bytes, expected_default_file());

        m_messages.clear();
        QCOMPARE(names.load_channel_names("1"), default_names());
        QCOMPARE(m_messages.count(), 0);
    }

    void oneFileWriteEqualsTheKeyByKeyWrites_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<bool>("exists");
        QTest::newRow("no file") << QByteArray() << false;
        QTest::newRow("foreign file without marker") << foreign_file() << true;
    }
    void oneFileWriteEqualsTheKeyByKeyWrites() {
        QFETCH(QByteArray, before);
        QFETCH(bool, exists);
        // Every platform write syncs the file to disk; 4097 of them take seconds
        // on a disk and next to nothing in a RAM file system, where there is one.
        const QTemporaryDir dir(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                    ? QStringLiteral("/dev/shm/relay-names-XXXXXX")
                                    : QDir::tempPath() + QStringLiteral("/relay-names-XXXXXX"));
        QVERIFY(dir.isValid());
        NameFile names(m_messages, dir.path());
        const QString path = names.name_file_path();
        if (exists) {
            QVERIFY(put_file_bytes(path, before));
        }
        write_key_by_key(path);
        // The only difference allowed: a near-miss marker header is mended.
        const QByteArray key_by_key =
            file_bytes(path).replace(gbk("[地址码0] \r\n"), gbk("[地址码0]\r\n"));

        QFile::remove(path);
        if (exists) {
            QVERIFY(put_file_bytes(path, before));
        }
        QCOMPARE(start(names), DefaultTitle);
        QCOMPARE(file_bytes(path), key_by_key);
        if (!exists) {
            QCOMPARE(key_by_key, expected_default_file());
        }
    }

    void secondStartReadsTheTitleAndWritesNothing() {
        QVERIFY(put_file_bytes(path(),
                               expected_default_file().replace(gbk("名称=16路串口控制继电器板Tavi"),
                                                               gbk("名称=  \"三号车间\"  "))));
        const QByteArray before = file_bytes(path());
        const QDateTime modified = QFileInfo(path()).lastModified();
        NameFile names(m_messages, m_dir.path());
        QCOMPARE(start(names), QStringLiteral("三号车间"));
        QCOMPARE(m_messages.count(), 0);
        QCOMPARE(file_bytes(path()), before);
        QCOMPARE(QFileInfo(path()).lastModified(), modified);
    }

    void markerPresentTitleMissingGivesAnEmptyTitle() {
        QVERIFY(put_file_bytes(path(), gbk("[地址码0]\r\n第1路名称=甲\r\n")));
        NameFile names(m_messages, m_dir.path());
        QCOMPARE(start(names), QString());
        QCOMPARE(m_messages.count(), 0);
    }

    void lostMarkerRewritesTheDefaults_data() {
        QTest::addColumn<QString>("marker_line");
        QTest::newRow("line missing") << QString();
        QTest::newRow("blank before [") << QStringLiteral(" [地址码0]");
        QTest::newRow("blank after ]") << QStringLiteral("[地址码0] ");
        QTest::newRow("blanks inside") << QStringLiteral("[ 地址码0 ]");
        QTest::newRow("marker as a value") << QStringLiteral("x=[地址码0]");
    }
    void lostMarkerRewritesTheDefaults() {
        QFETCH(QString, marker_line);
        QString text = QStringLiteral("[软件属性]\r\n名称=旧标题\r\n");
        if (!marker_line.isEmpty()) {
            text += marker_line + QStringLiteral("\r\n第1路名称=自定\r\n");
        }
        text += QStringLiteral("[地址码05]\r\n第1路名称=保留\r\n");
        QVERIFY(put_file_bytes(path(), gbk(text)));

        NameFile names(m_messages, m_dir.path());
        QCOMPARE(start(names), DefaultTitle);
        QCOMPARE(m_messages.texts(), QStringList{Created});
        QCOMPARE(names.load_channel_name("0", "1"), QStringLiteral("第1路"));
        QCOMPARE(names.load_channel_name("05", "1"), QStringLiteral("保留"));
        QCOMPARE(names.load_channel_names("255"), default_names());
        QCOMPARE(read_profile_string(m_messages, path(), "软件属性", "名称"), DefaultTitle);
        // A near miss reads as the marker section; its header is mended, so the
        // next start keeps the operator's names instead of wiping them again.
        QVERIFY(section_exists(m_messages, path(), "地址码0"));
        QCOMPARE(m_messages.count(), 1);
        QVERIFY(names.save_channel_name("0", "2", QStringLiteral("新名")));
        m_messages.clear();
        QCOMPARE(start(names), DefaultTitle);
        QCOMPARE(m_messages.count(), 0);
        QCOMPARE(names.load_channel_name("0", "2"), QStringLiteral("新名"));
    }

    void renamingChangesOnlyThatLine() {
        QVERIFY(put_file_bytes(path(), expected_default_file()));
        NameFile names(m_messages, m_dir.path());
        QVERIFY(names.save_channel_name("1", "3", "进水阀"));
        QCOMPARE(file_bytes(path()), replace_first(expected_default_file(), "[地址码1]",
                                                   "第3路名称=第3路", "第3路名称=进水阀"));

        QStringList labels = default_names();
        labels[2] = QStringLiteral("进水阀");
        QCOMPARE(names.load_channel_names("1"), labels);
        QCOMPARE(names.load_channel_name("1", "3"), QStringLiteral("进水阀"));
        QCOMPARE(names.load_channel_names("2"), default_names());
        QCOMPARE(m_messages.count(), 0);
    }

    void addressTextIsUsedAsTyped() {
        QVERIFY(put_file_bytes(path(), expected_default_file()));
        NameFile names(m_messages, m_dir.path());
        QCOMPARE(names.load_channel_names("05"), QStringList(16, QString()));
        QVERIFY(names.save_channel_name("05", "2", "旧板"));
        QVERIFY(file_bytes(path()).endsWith(
            gbk("第16路名称=第16路\r\n[地址码05]\r\n第2路名称=旧板\r\n")));
        QCOMPARE(names.load_channel_names("05").at(1), QStringLiteral("旧板"));
        QCOMPARE(names.load_channel_names("5").at(1), QStringLiteral("第2路"));
        QCOMPARE(m_messages.count(), 0);
    }

    void emptyNameIsStoredEmpty() {
        QVERIFY(put_file_bytes(path(), expected_default_file()));
        NameFile names(m_messages, m_dir.path());
        QVERIFY(names.save_channel_name("0", "16", ""));
        QCOMPARE(file_bytes(path()), replace_first(expected_default_file(), "[地址码0]",
                                                   "第16路名称=第16路", "第16路名称="));
        QCOMPARE(names.load_channel_names("0").at(15), QString());
    }

    void awkwardNamesRoundTrip_data() {
        QTest::addColumn<QString>("name");
        for (const char* name :
             {" 前导空格", "尾随空格 ", "\"引号\"", "'单引号'", "\"", "a=b", "[地址码0]", "；分号",
              "\t制表\t", "　全角空格　", "€5", "Pump 3 (backup)", "  "}) {
            QTest::newRow(name) << QString::fromUtf8(name);
        }
        QTest::newRow("127 double-byte characters") << QString(127, u'阀');
    }
    void awkwardNamesRoundTrip() {
        QFETCH(QString, name);
        QVERIFY(put_file_bytes(path(), expected_default_file()));
        NameFile names(m_messages, m_dir.path());
        QVERIFY(names.save_channel_name("1", "3", name));
        QCOMPARE(names.load_channel_name("1", "3"), name);
        QCOMPARE(names.load_channel_names("1").at(2), name);
        QCOMPARE(m_messages.count(), 0);
        // The marker line stays intact whatever the name.
        QVERIFY(section_exists(m_messages, path(), "地址码0"));
    }

    void unsafeNamesAreRefusedAndNothingChanges_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("line break")
            << QStringLiteral("甲\r\n[地址码0]") << QStringLiteral("换行符");
        QTest::newRow("NUL") << QString::fromUtf16(u"甲\0乙", 3) << QStringLiteral("空字符");
        QTest::newRow("emoji") << QString::fromUtf8("泵😀") << QString::fromUtf8("“😀”");
        QTest::newRow("Korean") << QString::fromUtf8("펌프") << QString::fromUtf8("“펌프”");
    }
    void unsafeNamesAreRefusedAndNothingChanges() {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        QVERIFY(put_file_bytes(path(), expected_default_file()));
        NameFile names(m_messages, m_dir.path());
        QVERIFY(!names.save_channel_name("1", "3", name));
        QCOMPARE(file_bytes(path()), expected_default_file());
        QCOMPARE(m_messages.count(), 1);
        QCOMPARE(m_messages.m_messages[0].icon, Icon::Warning);
        QVERIFY2(m_messages.m_messages[0].text.startsWith(QStringLiteral("名称未保存：")),
                 qPrintable(m_messages.m_messages[0].text));
        QVERIFY2(m_messages.m_messages[0].text.contains(reason),
                 qPrintable(m_messages.m_messages[0].text));
    }

    void deletedFileIsReportedForEveryRead() {
        QVERIFY(put_file_bytes(path(), expected_default_file()));
        NameFile names(m_messages, m_dir.path());
        QFile::remove(path());

        QCOMPARE(names.load_channel_names("1"), QStringList(16, QString()));
        QCOMPARE(m_messages.count(), 16);
        for (const RecordingMessages::Message& message : m_messages.m_messages) {
            QCOMPARE(message.icon, Icon::Error);
            QCOMPARE(message.title, QStringLiteral("File Not Found"));
            QCOMPARE(message.text, missing_text());
        }

        m_messages.clear();
        QVERIFY(!names.save_channel_name("1", "3", "甲"));
        QCOMPARE(m_messages.texts(), QStringList{missing_text()});
        QVERIFY(!QFileInfo::exists(path()));
        QCOMPARE(names.load_channel_name("1", "3"), QString());
        QCOMPARE(m_messages.count(), 2);
    }

    void fileThatCannotBeCreatedIsNotAnnouncedAsCreated() {
        // A directory that is a plain file: nobody, root included, can create in it.
        const QString not_a_directory = m_dir.filePath(QStringLiteral("plain-file"));
        QVERIFY(put_file_bytes(not_a_directory, "x"));
        NameFile names(m_messages, not_a_directory);
        QCOMPARE(start(names), DefaultTitle);

        QCOMPARE(m_messages.count(), 2);
        QCOMPARE(m_messages.m_messages[0].title, QStringLiteral("File Not Found"));
        const RecordingMessages::Message& failure = m_messages.m_messages[1];
        QCOMPARE(failure.icon, Icon::Error);
        QVERIFY2(failure.text.startsWith(QStringLiteral("无法创建名称文件 ") +
                                         QDir::toNativeSeparators(names.name_file_path()) + "："),
                 qPrintable(failure.text));
        QVERIFY(failure.text.size() > QDir::toNativeSeparators(names.name_file_path()).size() + 10);
        QVERIFY(!m_messages.texts().contains(Created));
    }

    void readOnlyDirectoryKeepsTheOldFile() {
        QVERIFY(put_file_bytes(path(), expected_default_file()));
        const QFile::Permissions directory_permissions = QFileInfo(m_dir.path()).permissions();
        QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::ExeOwner);
        const auto restore =
            qScopeGuard([&] { QFile::setPermissions(m_dir.path(), directory_permissions); });
        {
            QFile probe(m_dir.filePath(QStringLiteral("probe")));
            if (probe.open(QIODevice::WriteOnly)) {
                probe.remove();
                QSKIP("permissions do not stop this user (root) from writing");
            }
        }
        NameFile names(m_messages, m_dir.path());
        QVERIFY(!names.save_channel_name("1", "3", "甲"));
        QCOMPARE(file_bytes(path()), expected_default_file());
        QCOMPARE(m_messages.count(), 1);
        QCOMPARE(m_messages.m_messages[0].icon, Icon::Error);
        QVERIFY(m_messages.m_messages[0].text.startsWith(QStringLiteral("名称未能保存到 ") +
                                                         shown_path()));
    }
};

QTEST_GUILESS_MAIN(TestNameFile)
#include "test_name_file.moc"
