#include "names/name_file.h"
#include "names/name_location.h"
#include "names/profile_cache.h"
#include "names/profile_file.h"
#include "support/recording_messages.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <QtTest>
#include <csignal>

using namespace relay;
using relay::testing::RecordingMessages;

namespace {

const QString DefaultTitle = "16路串口控制继电器板Tavi";
// GBK characters whose second byte is "A", "[" and "]"; "癮" (U+766E) is B0 61.
const QByteArray TrailA("\xB0\x41"), TrailOpen("\xB0\x5B"), TrailClose("\xB0\x5D");

QByteArray gbk(const QString& text) {  // text with no character outside GBK
    return QStringEncoder("GBK").encode(text);
}
QByteArray file_bytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
// Writes the file, dated modified when that is given.
bool put_file_bytes(const QString& path, const QByteArray& bytes, const QDateTime& modified = {}) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
           (!modified.isValid() || file.setFileTime(modified, QFileDevice::FileModificationTime));
}

// The default name.txt, spelt out: the title, then 16 names for each address 0..255.
QByteArray default_file() {
    QString text = "[软件属性]\r\n名称=16路串口控制继电器板Tavi\r\n";
    for (int address = 0; address <= 255; ++address) {
        text += QString("[地址码%1]\r\n").arg(address);
        for (int channel = 1; channel <= 16; ++channel) {
            text += QString("第%1路名称=第%1路\r\n").arg(channel);
        }
    }
    return gbk(text);
}

// Runs the start-up step; returns the title handed to the window.
QString start(NameFile& names) {
    QString title = "<not set>";
    names.init_name_file([&](const QString& text) { title = text; });
    return title;
}

// A read of key in the file or, when after is given, a write of value, then a read.
void row(const char* name, const QByteArray& file, const QString& section, const QString& key,
         const QString& value, const QByteArray& after = {}) {
    QTest::newRow(name) << file << section << key << value << after;
}

}  // namespace

class TestNameFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    RecordingMessages m_messages;
    NameFile m_names{m_messages, m_dir.path()};
    QString m_path = m_names.name_file_path();
    QString m_missing = QDir::toNativeSeparators(m_path) + " not found.";

private Q_SLOTS:
    void init() {
        QFile::remove(m_path);
        m_messages.clear();
    }

    void readsAndWritesAsTheWindowsCallsDo_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");
        row("letter case", "[SeC]\r\nKeY=v\r\n", "sEc", "kEy", "v");
        row("Greek letter case, decoded", gbk("[Α]\r\nΒ=v\r\n"), "α", "β", "v");
        row("trail bytes A and a differ", "[s]\r\n" + TrailA + "=v\r\n", "s", "癮", "");
        row("trail byte ], name to last ]", "[a" + TrailClose + "]b]\r\nk=v", "a癩]b", "k", "v");
        row("trail byte [ opens a key", "[s]\r\n" + TrailOpen + "=v\r\n", "s", "癧", "v");
        row("blanks trimmed", " \t[ \vs\f ]\x1a \r\n\x1a k \t=\t v v \x1a\r\n", "s", "k", "v v");
        row("U+3000 kept", gbk("[\u3000s]\n[s]\n\u3000k=1\nk=\u3000v\u3000"), "s", "k",
            "\u3000v\u3000");
        row("double quotes", "[s]\r\nk= \" v \" \r\n", "s", "k", " v ");
        row("one pair of single quotes", "[s]\r\nk='\"v\"'\r\n", "s", "k", "\"v\"");
        row("unmatched quotes kept", "[s]\r\nk=\"v'\r\n", "s", "k", "\"v'");
        row("first section wins, missing key", "[s]\r\na=1\r\n[S]\r\nk=2\r\n", "s", "k", "");
        row("first key wins", "[s]\r\nk=1\r\nK=2\r\n", "s", "k", "1");
        row("no =, a key without a value", "[s]\r\nk\r\nk=2\r\n", "s", "k", "");
        row("write: a key without a value", "[s]\r\nk \r\nk=2\r\n", "s", "k", "v",
            "[s]\r\nk =v\r\nk=2\r\n");
        row("CR, LF, CR LF line ends", "x=1\r[s]\nk=v\r\nj=2", "s", "k", "v");
        row("cut to 254 bytes", "[s]\r\nk=" + QByteArray(300, 'a'), "s", "k", QString(254, 'a'));
        row("never inside a character", gbk("[s]\nk=a" + QString(200, u'中')), "s", "k",
            "a" + QString(126, u'中'));
        row("missing section", "[s]\r\nk=v\r\n", "t", "k", "");
        row("write: other bytes kept", "; c\r\n[s]\n k = old\n\n x\r[t]\r\nk=1", "s", "k", "new",
            "; c\r\n[s]\n k =new\r\n\n x\r[t]\r\nk=1");
        row("write: after last non-blank", "[s]\na=1\r;c\n\n[s]\n", "S", "k", "v",
            "[s]\na=1\r;c\nk=v\r\n\n[s]\n");
        row("write: new section", "[s]\r\na=1", "t", "k", "v", "[s]\r\na=1\r\n[t]\r\nk=v\r\n");
        row("write: names decoded", "[s]\n" + TrailA + "=1\n", "s", "癮", "2",
            "[s]\n" + TrailA + "=1\n\xB0\x61=2\r\n");
        row("write: blanks quoted", "[s]\r\nk=1\r\n", "s", "k", " v\t", "[s]\r\nk=\" v\t\"\r\n");
        row("write: quotes quoted", "[s]\r\nk=1\r\n", "s", "k", "'v'", "[s]\r\nk=\"'v'\"\r\n");
    }
    void readsAndWritesAsTheWindowsCallsDo() {
        QFETCH(QByteArray, file);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        QVERIFY(put_file_bytes(m_path, file));
        if (!after.isEmpty()) {
            QCOMPARE(write_profile_string(m_messages, m_path, section, key, value), 1);
            QCOMPARE(file_bytes(m_path), after);
        }
        QCOMPARE(read_profile_string(m_messages, m_path, section, key), value);
        QCOMPARE(m_messages.count(), 0);
    }

    void sectionTestIsTheExactWholeLine() {
        const std::pair<const char*, bool> files[] = {
            {"x\r[s]\ry", true},  {"k=v\r\n[s]", true}, {" [s]\r\n", false}, {"[s] \r\n", false},
            {"k=[s]\r\n", false}, {"[S]", false},       {"", false}};
        for (const auto& [file, exists] : files) {
            QVERIFY(put_file_bytes(m_path, file));
            QVERIFY2(section_exists(m_messages, m_path, "s") == exists, file);
        }
        QCOMPARE(m_messages.count(), 0);
    }

    void aStampProvesNothingUntilTheFileHasSettled_data() {
        QTest::addColumn<std::optional<FileStamp>>("now");
        QTest::addColumn<qint64>("read_ns");
        QTest::addColumn<bool>("unchanged");
        const qint64 t = 1'000'000'000'000, settled = t + ProfileCache::FreshNanoseconds + 1;
        const FileStamp same{1, 2, 3, t, t};
        QTest::newRow("same, settled") << std::optional(same) << settled << true;
        QTest::newRow("same, fresh") << std::optional(same) << settled - 2 << false;
        QTest::newRow("no stamp") << std::optional<FileStamp>() << settled << false;
        QTest::newRow("device") << std::optional(FileStamp{9, 2, 3, t, t}) << settled << false;
        QTest::newRow("inode") << std::optional(FileStamp{1, 9, 3, t, t}) << settled << false;
        QTest::newRow("size") << std::optional(FileStamp{1, 2, 9, t, t}) << settled << false;
        QTest::newRow("modified") << std::optional(FileStamp{1, 2, 3, t + 1, t}) << settled
                                  << false;
        QTest::newRow("changed") << std::optional(FileStamp{1, 2, 3, t, t + 1}) << settled << false;
    }
    void aStampProvesNothingUntilTheFileHasSettled() {
        QFETCH(std::optional<FileStamp>, now);
        QFETCH(qint64, read_ns);
        QFETCH(bool, unchanged);
        const FileStamp before{1, 2, 3, 1'000'000'000'000, 1'000'000'000'000};
        QCOMPARE(ProfileCache::stamp_proves_unchanged(before, now, read_ns), unchanged);
        QVERIFY(!ProfileCache::stamp_proves_unchanged(std::nullopt, now, read_ns));
        // A file dated ahead of the clock never settles.
        const FileStamp ahead{1, 2, 3, read_ns, read_ns};
        QVERIFY(!ProfileCache::stamp_proves_unchanged(ahead, ahead, read_ns));
    }

    void anOutsideEditIsSeenAndAnUnchangedFileNotParsedAgain_data() {
        QTest::addColumn<QByteArray>("edit");  // empty: none; "-": the file removed
        QTest::addColumn<bool>("in_place");    // same inode, times put back
        QTest::addColumn<QString>("value");
        QTest::newRow("unchanged") << QByteArray() << false << "old";
        QTest::newRow("same size, in place, times put back") << QByteArray("new") << true << "new";
        QTest::newRow("replaced, grown") << QByteArray("newer") << false << "newer";
        QTest::newRow("removed") << QByteArray("-") << false << "";
    }
    void anOutsideEditIsSeenAndAnUnchangedFileNotParsedAgain() {
        QFETCH(QByteArray, edit);
        QFETCH(bool, in_place);
        QFETCH(QString, value);
        QVERIFY(put_file_bytes(m_path, "[s]\r\nk=old\r\n"));
        ProfileCache cache;
        QCOMPARE(read_profile_string(m_messages, cache, m_path, "s", "k"), "old");
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(m_path), &before), 0);
        if (edit == "-") {
            QVERIFY(QFile::remove(m_path));
        } else if (in_place) {
            QFile file(m_path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(7) && file.write(edit) == 3);
            file.close();
            const timespec times[2] = {before.st_atim, before.st_mtim};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(m_path), times, 0), 0);
        } else if (!edit.isEmpty()) {
            QSaveFile file(m_path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[s]\r\nk=" + edit) > 0);
            QVERIFY(file.commit());
        }
        const QStringList twice = read_profile_strings(m_messages, cache, m_path, "s", {"k", "k"});
        QCOMPARE(twice, QStringList(2, value));
        QCOMPARE(cache.parses(), edit.isEmpty() || edit == "-" ? 1 : 2);
        QCOMPARE(m_messages.texts(), QStringList(edit == "-" ? 2 : 0, m_missing));
    }

    void aFullDiskLeavesTheFileWhole() {
        const QByteArray before = "[s]\r\nk=1\r\n" + QByteArray(200000, ';');
        QVERIFY(put_file_bytes(m_path, before));
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit full{64 * 1024, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &full);
        QString error;
        const int written = write_profile_string(m_messages, m_path, "s", "k", "2", &error);
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(written == 0 && !error.isEmpty());
        QCOMPARE(file_bytes(m_path), before);
    }

    void aMissingFileIsReportedOncePerCall() {
        QCOMPARE(m_names.load_channel_names("1"), QStringList(16, QString()));
        QVERIFY(!m_names.save_channel_name("1", "3", "甲"));
        QVERIFY(!QFileInfo::exists(m_path));
        QCOMPARE(m_messages.texts(), QStringList(17, m_missing));
        QCOMPARE(m_messages.m_messages[16].icon, MessageSink::Icon::Error);
        QCOMPARE(m_messages.m_messages[16].title, "File Not Found");
    }

    void firstStartCreatesTheDefaultFile() {
        QCOMPARE(start(m_names), DefaultTitle);
        QCOMPARE(m_messages.texts(), (QStringList{m_missing, "名称文件被创建。"}));
        QCOMPARE(file_bytes(m_path), default_file());
    }

    void oneWriteEqualsTheKeyByKeyWrites_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("no file") << QByteArray();
        QTest::newRow("foreign file, near-miss marker")
            << gbk("; c\n[软件属性]\n名称=旧\n[地址码0] \r\n第3路名称=水泵\r\n第17路名称=多余\r\n"
                   "\r\n[地址码05]\r第1路名称=保留\r[地址码7]\r\n第1路名称=风机");
    }
    void oneWriteEqualsTheKeyByKeyWrites() {
        QFETCH(QByteArray, before);
        // 4097 synced writes: in a RAM file system where there is one.
        const QTemporaryDir dir(QFileInfo("/dev/shm").isWritable() ? "/dev/shm/names-XXXXXX" : "");
        NameFile names(m_messages, dir.path());
        const QString path = names.name_file_path();
        QString error;
        QVERIFY(before.isEmpty() || put_file_bytes(path, before));
        QVERIFY(write_profile_values(path, {{"软件属性", "名称", DefaultTitle}}, &error));
        for (int address = 0; address <= 255; ++address) {
            for (int channel = 1; channel <= 16; ++channel) {
                const QString name = QString("第%1路").arg(channel);
                QVERIFY(write_profile_values(
                    path, {{QString("地址码%1").arg(address), name + "名称", name}}, &error));
            }
        }
        // The one difference allowed: the near-miss marker header is mended.
        const QByteArray expected =
            file_bytes(path).replace(gbk("[地址码0] \r\n"), gbk("[地址码0]\r\n"));
        QVERIFY(QFile::remove(path) && (before.isEmpty() || put_file_bytes(path, before)));
        QCOMPARE(start(names), DefaultTitle);
        QCOMPARE(file_bytes(path), expected);
        // Mended, the marker is found: the next start keeps a name saved since.
        QVERIFY(names.save_channel_name("0", "3", "新名"));
        m_messages.clear();
        start(names);
        QCOMPARE(names.load_channel_name("0", "3"), "新名");
        QCOMPARE(m_messages.count(), 0);
    }

    void laterStartsReadTheTitleAndWriteNothing() {
        const std::pair<const char*, QString> files[] = {
            {"[软件属性]\r\n名称= \"三号车间\" \r\n[地址码0]", "三号车间"}, {"[地址码0]\r\n", ""}};
        const QDateTime long_ago = QDateTime::fromSecsSinceEpoch(1000);
        for (const auto& [text, title] : files) {
            QVERIFY(put_file_bytes(m_path, gbk(text), long_ago));
            QCOMPARE(start(m_names), title);
            QCOMPARE(QFileInfo(m_path).lastModified(), long_ago);
        }
        QCOMPARE(m_messages.count(), 0);
    }

    void aFileThatCannotBeCreatedIsNotAnnounced() {
        QVERIFY(put_file_bytes(m_dir.filePath("plain"), "x"));  // nobody can create in a file
        NameFile names(m_messages, m_dir.filePath("plain"));
        QCOMPARE(start(names), DefaultTitle);
        QCOMPARE(m_messages.count(), 2);
        const QString text = m_messages.texts()[1], path = names.name_file_path();
        const QString prefix = "无法创建名称文件 " + QDir::toNativeSeparators(path) + "：";
        QVERIFY2(text.startsWith(prefix) && text.size() > prefix.size() + 2, qPrintable(text));
    }

    void renameChangesOnlyThatKeyAndAddressIsText() {
        QVERIFY(put_file_bytes(m_path, default_file()));
        QVERIFY(m_names.save_channel_name("1", "3", "进水阀"));
        const QString head = "[地址码1]\r\n第1路名称=第1路\r\n第2路名称=第2路\r\n第3路名称=";
        QByteArray expected = default_file().replace(gbk(head + "第3路"), gbk(head + "进水阀"));
        QCOMPARE(file_bytes(m_path), expected);
        QVERIFY(m_names.save_channel_name("05", "2", "旧板"));
        QCOMPARE(file_bytes(m_path), expected + gbk("[地址码05]\r\n第2路名称=旧板\r\n"));
        QCOMPARE(m_names.load_channel_names("1").at(2), "进水阀");
        QCOMPARE(m_names.load_channel_names("5").at(1), "第2路");
        QCOMPARE(m_messages.count(), 0);
    }

    // Installed system-wide the program's folder cannot be written: the names
    // are the user's own, and a file beside the program seeds them once.
    void nameTxtIsKeptWhereItCanBeWritten_data() {
        QTest::addColumn<bool>("folder_writable");
        QTest::addColumn<QByteArray>("beside");  // name.txt beside the program, "" none
        QTest::addColumn<bool>("beside_writable");
        QTest::addColumn<QByteArray>("users");  // the user's name.txt, "" none
        QTest::addColumn<QByteArray>("kept");   // "program", or the user's file after
        QTest::newRow("a folder of its own")
            << true << QByteArray() << true << QByteArray() << QByteArray("program");
        QTest::newRow("the older panel's file dropped in")
            << true << QByteArray("W") << true << QByteArray("U") << QByteArray("program");
        QTest::newRow("system-wide")
            << false << QByteArray() << true << QByteArray() << QByteArray();
        QTest::newRow("system-wide, a file beside it copied")
            << false << QByteArray("W") << false << QByteArray() << QByteArray("W");
        QTest::newRow("system-wide, the user's own kept")
            << false << QByteArray("W") << false << QByteArray("U") << QByteArray("U");
        QTest::newRow("a read-only file in a writable folder")
            << true << QByteArray("W") << false << QByteArray() << QByteArray("W");
    }
    void nameTxtIsKeptWhereItCanBeWritten() {
        QFETCH(bool, folder_writable);
        QFETCH(QByteArray, beside);
        QFETCH(bool, beside_writable);
        QFETCH(QByteArray, users);
        QFETCH(QByteArray, kept);
        QTemporaryDir dir;
        const QString program = dir.filePath("bin"), user = dir.filePath("home/relay-panel");
        QVERIFY(QDir().mkpath(program) && (users.isEmpty() || QDir().mkpath(user)));
        const auto put = [](const QString& path, const QByteArray& bytes) {
            QFile file(path);
            return bytes.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(bytes));
        };
        QVERIFY(put(program + "/name.txt", beside) && put(user + "/name.txt", users));
        const auto writable = [&](const QString& path) {
            return path == program ? folder_writable : beside_writable;
        };
        const QString chosen = name_directory_for(program, user, writable);
        QCOMPARE(chosen, kept == "program" ? program : user);
        QFile file(user + "/name.txt");
        const QByteArray users_after = file.open(QIODevice::ReadOnly) ? file.readAll() : "";
        QCOMPARE(users_after, kept == "program" ? users : kept);
        QVERIFY(QFileInfo(chosen).isDir());
    }

    void unsafeNamesAreRefusedAndNothingChanges() {
        QVERIFY(put_file_bytes(m_path, default_file()));
        const std::pair<QString, QString> refusals[] = {
            {"甲\r\n[地址码0]", "换行符"}, {QStringLiteral("甲\0乙"), "空字符"}, {"泵😀", "“😀”"}};
        for (const auto& [name, reason] : refusals) {
            QVERIFY(!m_names.save_channel_name("1", "3", name));
            QCOMPARE(write_profile_string(m_messages, m_path, "地址码1", "第3路名称", name), 0);
            QVERIFY2(m_messages.texts().constLast().contains(reason), qPrintable(reason));
        }
        QCOMPARE(m_messages.count(), 3);
        QCOMPARE(file_bytes(m_path), default_file());
    }
};

QTEST_GUILESS_MAIN(TestNameFile)
#include "test_name_file.moc"
