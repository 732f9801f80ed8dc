#include "names/profile_file.h"
#include "support/fake_serial_port.h"
#include "support/find_control.h"
#include "support/frame_bytes.h"
#include "support/recording_messages.h"
#include "ui/main_form.h"
#include "ui/name_form.h"
#include "ui/song_font.h"

#include <QtTest>
#include <QtWidgets>

namespace relay::testing {

// Data tables of text columns: the columns, one row, a cell of the running row.
template <typename... Names>
void columns(const Names&... names) {
    (QTest::addColumn<QString>(names), ...);
}
template <typename... Texts>
void row(const char* tag, const Texts&... texts) {
    (QTest::newRow(tag) << ... << QString(texts));
}
QString cell(const char* column) {
    return *static_cast<QString*>(QTest::qData(column, qMetaTypeId<QString>()));
}

// The main window over a fake port and a name.txt of its own, messages
// recorded instead of shown.
struct PanelRig {
    QTemporaryDir m_dir;
    RecordingMessages m_messages, m_quiet;
    FakeSerialPort* m_port = new FakeSerialPort;
    std::unique_ptr<MainForm> m_form;

    // Starts over directory, or over a fresh one of its own.
    explicit PanelRig(const QString& directory = QString()) {
        m_form = std::make_unique<MainForm>(directory.isEmpty() ? m_dir.path() : directory,
                                            std::unique_ptr<SerialPort>(m_port), &m_messages);
        m_form->load_form();
        m_form->show();
    }
    template <typename T = QWidget>
    T* find(const QString& name) const {
        return find_control<T>(*m_form, name);
    }
    QString text(const QString& label) const { return find<QLabel>(label)->text(); }
    // Space-separated steps: "box=text" types, "<hex" arrives from the board,
    // "spinner+"/"spinner-" clicks its up/down arrow, "slot()" calls the
    // window's slot, "fail" makes opens fail, "lose" unplugs the device, and a
    // control's name clicks it.
    void run(const QString& steps) {
        for (const QString& step : steps.split(' ', Qt::SkipEmptyParts)) {
            if (step.contains('=')) {
                find<QLineEdit>(step.section('=', 0, 0))->setText(step.section('=', 1));
            } else if (step.startsWith('<')) {
                m_port->deliver(frame_from_hex(qPrintable(step.mid(1))));
            } else if (step.endsWith('+') || step.endsWith('-')) {
                QWidget* bar = find(step.chopped(1));
                QTest::mouseClick(bar, Qt::LeftButton, {},
                                  {2, step.endsWith('+') ? 2 : bar->height() - 3});
            } else if (step.endsWith("()")) {
                QMetaObject::invokeMethod(m_form.get(), qPrintable(step.chopped(2)));
            } else if (step == "fail") {
                m_port->m_fail_text = "找不到串口";
            } else if (step == "lose") {
                m_port->lose_device("已拔出");
            } else {
                QTest::mouseClick(find(step), Qt::LeftButton);
            }
            QCoreApplication::sendPostedEvents();
        }
    }
    // name.txt read and written behind the window's back.
    NameFile names() { return NameFile(m_quiet, m_dir.path()); }
};

// Runs the row's steps on a started panel whose channel 1 of addresses 1, 2,
// 7 and 07 got names ("名7") behind its back; compares what probe sees.
void check(QString (*probe)(PanelRig&)) {
    PanelRig rig;
    rig.m_messages.clear();
    for (const QString address : {"1", "2", "7", "07"}) {
        rig.names().save_channel_name(address, "1", "名" + address);
    }
    rig.run(cell("steps"));
    QCOMPARE(probe(rig), cell("expected"));
}

// Caption, a letter per channel (Y yellow or G grey "状态未知", + green "吸合",
// - red "断开"), enabled controls, the timer, and the messages shown.
QString presentation(PanelRig& rig) {
    const QString grey = QPalette().color(QPalette::Disabled, QPalette::WindowText).name();
    const QStringList legend{"#ffff00状态未知", grey + "状态未知", "#00ff00吸合", "#ff0000断开"};
    QStringList parts{rig.find<QPushButton>("open_comm")->text(), ""};
    for (int n = 1; n <= ChannelCount; ++n) {
        const QString at = QString("(%1)").arg(n);
        const QColor colour = rig.find("Picture1" + at)->palette().window().color();
        parts[1] += "?YG+-"[legend.indexOf(colour.name() + rig.text("Label2" + at).trimmed()) + 1];
    }
    for (const char* name : {"openall", "closeall", "chuankou_num"}) {
        parts << (rig.find(name)->isEnabled() ? name : "-");
    }
    parts << (rig.find<QTimer>("Timer1")->isActive() ? "ticking" : "still");
    return (parts + rig.m_messages.texts()).join(' ');
}

// The frame the next poll step writes, provided nothing went out before it.
QString next_frame(PanelRig& rig) {
    const bool early = !rig.m_port->m_written.empty();
    rig.m_form->Timer1_Timer();
    const auto& sent = rig.m_port->m_written;
    return early ? "sent early" : sent.empty() ? "" : frame_to_hex(sent.back());
}

// "add/VScroll1 chuankou_num/VScroll2 (name of channel 1)"; a box shows "!"
// when tinted and "?" when its tooltip gives the allowed range.
QString boxes(PanelRig& rig) {
    QString text;
    for (const auto& [box, spinner] :
         {std::pair{"add", "VScroll1"}, {"chuankou_num", "VScroll2"}}) {
        const QLineEdit* edit = rig.find<QLineEdit>(box);
        const bool tinted =
            edit->palette().color(QPalette::Active, QPalette::Base) != QPalette().base().color();
        text += QString("%1%2%3/%4 ")
                    .arg(edit->text(), tinted ? "!" : "",
                         edit->toolTip().contains("0 到 255") ? "?" : "")
                    .arg(rig.find<QAbstractSlider>(spinner)->value());
    }
    return text + "(" + rig.text("Label4(1)") + ")";
}

// The open dialogs' texts; for the row's "address:channel" the stored name and
// the channel's label; how many messages were shown.
QString dialog(PanelRig& rig) {
    QStringList texts;
    for (const NameForm* form : rig.m_form->findChildren<NameForm*>()) {
        texts << form->findChild<QLineEdit*>("mingcheng")->text();
    }
    const QStringList at = cell("target").split(':');
    return texts.join(',') + '|' + rig.names().load_channel_name(at[0], at[1]) + '|' +
           rig.text("Label4(" + at[1] + ")") + '|' + QString::number(rig.m_messages.count());
}

class TestMainForm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { substitute_song_face(); }

    void startUpCreatesNameFileOnceThenReadsIt() {
        PanelRig first;
        QCOMPARE(first.m_messages.m_messages.value(0).title, QString("File Not Found"));
        QCOMPARE(first.m_messages.texts().mid(1), QStringList{"名称文件被创建。"});
        QCOMPARE(first.m_form->windowTitle(), QString("16路串口控制继电器板Tavi"));
        for (int n = 1; n <= ChannelCount; ++n) {
            QCOMPARE(first.text(QString("Label4(%1)").arg(n)), QString("第%1路").arg(n));
        }
        write_profile_string(first.m_quiet, first.m_dir.filePath("name.txt"), "软件属性", "名称",
                             "泵房");
        first.names().save_channel_name("1", "4", "水泵");
        PanelRig again(first.m_dir.path());
        QCOMPARE(again.m_messages.texts() << again.m_form->windowTitle() << again.text("Label4(4)"),
                 QStringList({"泵房", "水泵"}));
    }

    void windowIsFixedWithChannelsMirroredInSongFace() {
        PanelRig rig;
        QCOMPARE(rig.m_form->minimumSize(), rig.m_form->maximumSize());
        QCOMPARE(rig.m_form->size(), QSize(448, 531));
        const auto at = [&](int n) { return rig.find(QString("Picture1(%1)").arg(n))->pos(); };
        for (int n = 1; n <= 8; ++n) {
            // Channel 17-n shares the row of channel n, in the right column.
            QVERIFY(at(17 - n) == QPoint(at(16).x(), at(n).y()) && at(n).x() == at(1).x() &&
                    at(1).x() < at(16).x() && (n == 1 || at(n).y() > at(n - 1).y()));
        }
        const QString face = QFontInfo(rig.find("Label2(1)")->font()).family();
        QVERIFY2(face.contains("CJK") || face.contains("Sim") || face == "宋体", qPrintable(face));
    }

    void tabVisitsControlsInPanelOrder() {
        PanelRig rig;
        QStringList seen;
        for (QWidget* w = rig.find("chuankou_num"); seen.size() < 25; w = w->nextInFocusChain()) {
            if (w->focusPolicy() & Qt::TabFocus) {
                seen << w->objectName().remove("Picture1(").remove(')');
            }
        }
        QCOMPARE(seen.join(' '),
                 "chuankou_num open_comm add openall closeall VScroll1 VScroll2 " +
                     QString("1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 Command1 Command2"));
    }

    void portButtonSwitchesPresentation_data() {
        columns("steps", "expected");
        const QString idle = "打开串口 YYYYYYYYYYYYYYYY openall closeall chuankou_num ticking";
        const QString closed = "打开串口 GGGGGGGGGGGGGGGG - - chuankou_num still";
        row("start ticks with port closed", "", idle);
        row("open", "open_comm", "关闭串口 YYYYYYYYYYYYYYYY openall closeall - ticking");
        row("close", "open_comm open_comm", closed);
        row("reopen", "open_comm open_comm open_comm",
            "关闭串口 YYYYYYYYYYYYYYYY openall closeall - ticking");
        row("failed open says why once", "fail open_comm", idle + " 找不到串口");
        row("lost device says so once", "open_comm lose", closed + " 已拔出");
        row("valid reply repaints", "open_comm <22011000008001B4",
            "关闭串口 +--------------+ openall closeall - ticking");
    }
    void portButtonSwitchesPresentation() { check(presentation); }

    void clickQueuesCommandForNextTick_data() {
        columns("steps", "expected");
        const char* poll = "55 01 10 00 00 00 00 66";
        row("energised box", "open_comm <22011000008004B7 Picture1(3)", "55 01 11 00 00 00 03 6A");
        row("released status", "open_comm <22011000007FFFB1 Label2(16)", "55 01 12 00 00 00 10 78");
        row("unknown box", "open_comm Picture1(5)", poll);
        row("closed status", "open_comm open_comm Label2(5) open_comm", poll);
        row("energise all", "add=7 open_comm openall", "55 07 13 00 00 FF FF 6D");
        row("release all", "add=7 open_comm closeall", "55 07 13 00 00 00 00 6F");
        row("write address", "add=7 open_comm Command1", "55 F5 41 00 00 00 07 92");
        row("read address", "open_comm Command2", "55 F5 40 00 00 00 00 8A");
        row("closed port drops it", "openall Timer1_Timer() open_comm", poll);
        row("no board for -1", "open_comm add=-1 closeall", "");
        row("no board for empty text", "open_comm add= closeall", "");
    }
    void clickQueuesCommandForNextTick() { check(next_frame); }

    void boxesAndSpinnersFollowEachOther_data() {
        columns("steps", "expected");
        row("07 over another value", "add=07", "7/7 1/1 (名7)");
        row("07 over 7", "add=7 add=07", "07/7 1/1 (名07)");
        row("address up", "VScroll1+", "2/2 1/1 (名2)");
        row("address stops at 255", "add=254 VScroll1+ VScroll1+", "255/255 1/1 (第1路)");
        row("address stops at 0", "VScroll1- VScroll1-", "0/0 1/1 (第1路)");
        row("port loads no names", "VScroll2+", "1/1 2/2 (第1路)");
        row("reply adopts address", "add=2 open_comm <2201400000000063", "1/1 1/1 (名1)");
        row("reply adopts same text", "open_comm <2201400000000063", "1/1 1/1 (名1)");
        row("reply adopts 01", "add=01 open_comm <2201400000000063", "1/1 1/1 (名1)");
        row("address empty", "add=", "!?/1 1/1 ()");
        row("address abc", "add=abc", "abc!?/1 1/1 ()");
        row("address 256", "add=256", "256!?/1 1/1 ()");
        row("address -1", "add=-1", "-1!?/1 1/1 ()");
        row("port abc", "chuankou_num=abc", "1/1 abc!?/1 (第1路)");
        row("port 256", "chuankou_num=256", "1/1 256!?/1 (第1路)");
        row("marks cleared when fixed", "add=abc chuankou_num=abc add=5 chuankou_num=5",
            "5/5 5/5 (第1路)");
    }
    void boxesAndSpinnersFollowEachOther() { check(boxes); }

    void nameClickOpensDialogThatSavesWhereAimed_data() {
        columns("steps", "target", "expected");
        row("opens with the stored name", "Label4(1)", "1:1", "名1|名1|第1路|0");
        row("ok saves, shows and closes", "Label4(1) mingcheng=X Command_ok", "1:1", "|X|X|0");
        row("cancel saves nothing", "Label4(1) mingcheng=X Command_cansel", "1:1", "|名1|第1路|0");
        row("retarget keeps text", "Label4(3) add=2 Label4(5) Command_ok", "2:5", "|第3路|第3路|0");
        row("address changed", "Label4(1) add=2 mingcheng=X Command_ok", "1:1", "|X|名2|0");
        row("07 opens as typed", "add=7 add=07 Label4(1)", "07:1", "名07|名07|名07|0");
        row("07 saves as typed", "add=7 add=07 Label4(1) mingcheng=X Command_ok", "07:1", "|X|X|0");
        row("refused name", "Label4(6) mingcheng=a\nb Command_ok", "1:6", "a\nb|第6路|第6路|1");
        row("closes with the window", "Label4(1) close()", "1:1", "|名1|第1路|0");
    }
    void nameClickOpensDialogThatSavesWhereAimed() { check(dialog); }

    void dialogKeepsInitialTextForUnusableTarget_data() {
        columns("address", "channel");
        row("address 256", "256", "1");
        row("address not a number", "abc", "1");
        row("channel 17", "1", "17");
    }
    void dialogKeepsInitialTextForUnusableTarget() {
        PanelRig rig;
        NameFile names = rig.names();
        NameForm form(names, nullptr);
        form.set_target(cell("address"), cell("channel"));
        form.load();
        QCOMPARE(form.findChild<QLineEdit*>("mingcheng")->text(), QString("Text1"));
    }
};

}  // namespace relay::testing

QTEST_MAIN(relay::testing::TestMainForm)
#include "test_main_form.moc"
