#include "names/profile_file.h"
#include "panel_rig.h"
#include "ui/spinner.h"

#include <QFile>
#include <QFontInfo>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

using namespace relay;
using relay::testing::PanelRig;

namespace {

QColor box_colour(const PanelRig& rig, int channel) {
    return rig.find(QStringLiteral("Picture1(%1)").arg(channel))->palette().color(QPalette::Window);
}

QColor grey() {
    return QPalette().color(QPalette::Disabled, QPalette::WindowText);
}

bool marked(const QLineEdit* box) {
    return box->palette().color(QPalette::Base) != QPalette().color(QPalette::Base);
}

QString caption(const PanelRig& rig) {
    return rig.find<QPushButton>("open_comm")->text();
}

// One data row of QString columns.
template <typename... Texts>
void row(const char* tag, const Texts&... texts) {
    (QTest::newRow(tag) << ... << QString(texts));
}

}  // namespace

class TestMainForm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstStartCreatesNameFileThenLoadsDefaultNames() {
        PanelRig rig(false);
        QCOMPARE(rig.label("Label4", 16), QString("第十六路"));
        rig.m_form->load_form();
        QCOMPARE(rig.m_messages.count(), 2);
        QCOMPARE(rig.m_messages.m_messages[0].title, QString("File Not Found"));
        QCOMPARE(rig.m_messages.m_messages[1].text, QString("名称文件被创建。"));
        QCOMPARE(rig.m_form->windowTitle(), QString("16路串口控制继电器板Tavi"));
        QCOMPARE(rig.label("Label4", 16), QString("第16路"));
    }

    void laterStartTakesTitleAndNamesFromFileSilently() {
        PanelRig first;
        write_profile_string(first.m_messages, first.m_dir.filePath("name.txt"), "软件属性", "名称",
                             "泵房");
        first.store_name("1", 4, "水泵");
        PanelRig again(first.m_dir.path());
        QCOMPARE(again.m_messages.count(), 0);
        QCOMPARE(again.m_form->windowTitle(), QString("泵房"));
        QCOMPARE(again.label("Label4", 4), QString("水泵"));
    }

    void startUpTicksWithPortClosedAndDropsCommands() {
        PanelRig rig;
        QVERIFY(rig.find<QTimer>("Timer1")->isActive());
        QCOMPARE(rig.find<QTimer>("Timer1")->interval(), 200);
        QCOMPARE(caption(rig), QString("打开串口"));
        QVERIFY(rig.find("openall")->isEnabled() && rig.find("closeall")->isEnabled());
        QCOMPARE(rig.m_form->focusWidget(), rig.find("chuankou_num"));
        rig.click("openall");
        QCOMPARE(rig.tick(), QString());
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            QCOMPARE(box_colour(rig, channel), QColor(255, 255, 0));
            QCOMPARE(rig.label("Label2", channel), QString("状态未知"));
        }
        rig.click("open_comm");
        QCOMPARE(rig.tick(), QString("55 01 10 00 00 00 00 66"));
    }

    void windowIsFixedCentredWithItsIcon() {
        PanelRig rig;
        QCOMPARE(rig.m_form->size(), QSize(448, 531));
        QCOMPARE(rig.m_form->minimumSize(), rig.m_form->maximumSize());
        // Centred before the frame is known, so within the frame's width.
        const QPoint off =
            rig.m_form->geometry().center() - rig.m_form->screen()->availableGeometry().center();
        QVERIFY2(off.manhattanLength() <= 8,
                 qPrintable(QString("%1,%2").arg(off.x()).arg(off.y())));
        QVERIFY(rig.m_form->windowIcon().availableSizes().contains(QSize(32, 32)));
    }

    void channelGridRunsDownLeftAndUpRight_data() {
        for (const char* column : {"channel", "box", "name"}) {
            QTest::addColumn<QString>(column);
        }
        row("1 top left", "1", "96,104", "8,112");
        row("8 bottom left", "8", "96,440", "8,448");
        row("9 bottom right", "9", "256,440", "352,448");
        row("16 top right", "16", "256,104", "352,112");
    }
    void channelGridRunsDownLeftAndUpRight() {
        QFETCH(QString, channel);
        QFETCH(QString, box);
        QFETCH(QString, name);
        const auto at = [](const QWidget* widget) {
            return QStringLiteral("%1,%2").arg(widget->x()).arg(widget->y());
        };
        PanelRig rig;
        QCOMPARE(at(rig.find("Picture1(" + channel + ")")), box);
        QCOMPARE(at(rig.find("Label4(" + channel + ")")), name);
        QCOMPARE(rig.find("Picture1(" + channel + ")")->size(), QSize(89, 41));
    }

    void tabVisitsControlsInPanelOrder() {
        PanelRig rig;
        QStringList visited;
        QWidget* widget = rig.find("chuankou_num");
        for (int step = 0; step < 25; ++step) {
            visited.append(widget->objectName());
            do {
                widget = widget->nextInFocusChain();
            } while (!(widget->focusPolicy() & Qt::TabFocus));
        }
        QStringList expected{"chuankou_num", "open_comm", "add",     "openall",
                             "closeall",     "VScroll1",  "VScroll2"};
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            expected.append(QStringLiteral("Picture1(%1)").arg(channel));
        }
        expected << "Command1"
                 << "Command2";
        QCOMPARE(visited, expected);
    }

    void captionsUseASongStyleCjkFace() {
        PanelRig rig;
        const QString family = QFontInfo(rig.find("Label2(1)")->font()).family();
        QVERIFY2(family.contains("CJK") || family.contains("Sim") || family == "宋体",
                 qPrintable(family));
        QCOMPARE(rig.find("open_comm")->font().pointSizeF(), 15.75);
    }

    void portTogglesBetweenOpenAndClosedPresentations() {
        PanelRig rig;
        rig.click("open_comm");
        QCOMPARE(rig.m_port->m_open_requests, QStringList{"1"});
        QCOMPARE(caption(rig), QString("关闭串口"));
        QVERIFY(!rig.find("chuankou_num")->isEnabled());
        rig.click("open_comm");
        QVERIFY(!rig.m_port->is_open());
        QCOMPARE(caption(rig), QString("打开串口"));
        QVERIFY(rig.find("chuankou_num")->isEnabled());
        QVERIFY(!rig.find("openall")->isEnabled() && !rig.find("closeall")->isEnabled());
        QVERIFY(rig.find("Command1")->isEnabled() && rig.find("VScroll2")->isEnabled());
        QVERIFY(!rig.find<QTimer>("Timer1")->isActive());
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            QCOMPARE(box_colour(rig, channel), grey());
            QCOMPARE(rig.label("Label2", channel), QString("状态未知"));
        }
        rig.click("open_comm");
        QCOMPARE(box_colour(rig, 9), QColor(255, 255, 0));
        QVERIFY(rig.find("openall")->isEnabled() && rig.find<QTimer>("Timer1")->isActive());
    }

    void failedOpenChangesNothingAndSaysWhyOnce() {
        PanelRig rig;
        rig.m_port->m_fail_text = "找不到串口 1";
        rig.click("open_comm");
        QCOMPARE(rig.m_messages.texts(), QStringList{"找不到串口 1"});
        QCOMPARE(caption(rig), QString("打开串口"));
        QVERIFY(rig.find("chuankou_num")->isEnabled() && rig.find<QTimer>("Timer1")->isActive());
        QCOMPARE(box_colour(rig, 1), QColor(255, 255, 0));
    }

    void lostDeviceShowsPortClosedAndOneMessage() {
        PanelRig rig;
        rig.click("open_comm");
        rig.m_port->lose_device("串口设备已拔出");
        QCoreApplication::sendPostedEvents();
        QCOMPARE(rig.m_messages.texts(), QStringList{"串口设备已拔出"});
        QCOMPARE(caption(rig), QString("打开串口"));
        QVERIFY(!rig.find<QTimer>("Timer1")->isActive());
        QCOMPARE(box_colour(rig, 5), grey());
    }

    void channelClickQueuesToggleSentOnNextTick_data() {
        for (const char* column : {"control", "channel", "look", "frame"}) {
            QTest::addColumn<QString>(column);
        }
        const char* status = "55 01 10 00 00 00 00 66";
        row("box, energised", "Picture1", "3", "on", "55 01 11 00 00 00 03 6A");
        row("label, energised", "Label2", "3", "on", "55 01 11 00 00 00 03 6A");
        row("box, released", "Picture1", "16", "off", "55 01 12 00 00 00 10 78");
        row("label, released", "Label2", "16", "off", "55 01 12 00 00 00 10 78");
        row("box, unknown", "Picture1", "5", "unknown", status);
        row("label, port closed", "Label2", "5", "closed", status);
    }
    void channelClickQueuesToggleSentOnNextTick() {
        QFETCH(QString, control);
        QFETCH(QString, channel);
        QFETCH(QString, look);
        QFETCH(QString, frame);
        PanelRig rig;
        rig.click("open_comm");
        if (look == "on" || look == "off") {
            rig.status_reply(1, look == "on" ? 0x80 : 0x7F, look == "on" ? 0x04 : 0xFF);
        } else if (look == "closed") {
            rig.click("open_comm");
        }
        const QColor before = box_colour(rig, channel.toInt());
        rig.click(control + "(" + channel + ")");
        QCOMPARE(box_colour(rig, channel.toInt()), before);  // only a reply repaints
        if (look == "closed") {
            rig.click("open_comm");
        }
        QCOMPARE(rig.tick(), frame);
    }

    void buttonQueuesItsCommandForNextTick_data() {
        for (const char* column : {"button", "address", "frame"}) {
            QTest::addColumn<QString>(column);
        }
        row("energise all", "openall", "1", "55 01 13 00 00 FF FF 67");
        row("release all", "closeall", "1", "55 01 13 00 00 00 00 69");
        row("write address", "Command1", "7", "55 F5 41 00 00 00 07 92");
        row("read address", "Command2", "9", "55 F5 40 00 00 00 00 8A");
    }
    void buttonQueuesItsCommandForNextTick() {
        QFETCH(QString, button);
        QFETCH(QString, address);
        QFETCH(QString, frame);
        PanelRig rig;
        rig.box("add")->setText(address);
        rig.click("open_comm");
        rig.click(button);
        QVERIFY(rig.m_port->m_written.empty());
        QCOMPARE(rig.tick(), frame);
    }

    void splitReplyIsDroppedAndNextReplyRepaints() {
        PanelRig rig;
        rig.click("open_comm");
        rig.m_port->deliver(testing::frame_from_hex("00 22 01 10 00 00 80 01"));
        QCOMPARE(box_colour(rig, 1), QColor(255, 255, 0));
        rig.m_port->deliver(testing::frame_from_hex("22 01 10 00 00 80 01 B4"));
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            const bool on = channel == 1 || channel == 16;
            QCOMPARE(box_colour(rig, channel), on ? QColor(0, 255, 0) : QColor(255, 0, 0));
            QCOMPARE(rig.label("Label2", channel), on ? QString("  吸合") : QString("  断开"));
        }
    }

    void addressReplyAdoptsAddress_data() {
        QTest::addColumn<QString>("shown");
        row("other address", "1");
        row("same text", "7");
        row("same number, typed with a zero", "07");
    }
    void addressReplyAdoptsAddress() {
        QFETCH(QString, shown);
        PanelRig rig;
        rig.box("add")->setText("7");
        rig.box("add")->setText(shown);
        rig.store_name("7", 2, "七号二路");
        rig.click("open_comm");
        rig.m_port->deliver(testing::frame_from_hex("22 07 40 00 00 00 00 69"));
        QCOMPARE(rig.box("add")->text(), QString("7"));
        QCOMPARE(rig.find<Spinner>("VScroll1")->value(), 7);
        QCOMPARE(rig.label("Label4", 2), QString("七号二路"));
        QCOMPARE(rig.tick(), QString("55 07 10 00 00 00 00 6C"));
    }

    void typedLeadingZeroFollowsSpinnerChain_data() {
        for (const char* column : {"before", "expected", "name"}) {
            QTest::addColumn<QString>(column);
        }
        row("spinner elsewhere", "1", "7", "七号");
        row("spinner already at 7", "7", "07", "零七号");
    }
    void typedLeadingZeroFollowsSpinnerChain() {
        QFETCH(QString, before);
        QFETCH(QString, expected);
        QFETCH(QString, name);
        PanelRig rig;
        rig.store_name("7", 1, "七号");
        rig.store_name("07", 1, "零七号");
        QLineEdit* add = rig.box("add");
        add->setText(before);
        if (before == "7") {
            QTest::keyClick(add, Qt::Key_Home);
            QTest::keyClicks(add, "0");
        } else {
            add->clear();
            QTest::keyClicks(add, "07");
        }
        QCOMPARE(add->text(), expected);
        QCOMPARE(rig.find<Spinner>("VScroll1")->value(), 7);
        QCOMPARE(rig.label("Label4", 1), name);
    }

    void spinnerArrowsStepWithinBounds_data() {
        for (const char* column : {"spinner", "box", "start", "arrow", "expected"}) {
            QTest::addColumn<QString>(column);
        }
        row("address up from 1", "VScroll1", "add", "1", "up", "2");
        row("address down from 1", "VScroll1", "add", "1", "down", "0");
        row("address up at 255", "VScroll1", "add", "255", "up", "255");
        row("port up from 1", "VScroll2", "chuankou_num", "1", "up", "2");
        row("port down at 0", "VScroll2", "chuankou_num", "0", "down", "0");
        row("address Up key", "VScroll1", "add", "1", "key", "2");
    }
    void spinnerArrowsStepWithinBounds() {
        QFETCH(QString, spinner);
        QFETCH(QString, box);
        QFETCH(QString, start);
        QFETCH(QString, arrow);
        QFETCH(QString, expected);
        PanelRig rig;
        rig.store_name("2", 1, "二号");
        rig.box(box)->setText(start);
        auto* bar = rig.find<Spinner>(spinner);
        if (arrow == "key") {
            QTest::keyClick(bar, Qt::Key_Up);
        } else {
            const QPoint at(bar->width() / 2, arrow == "up" ? 2 : bar->height() - 3);
            QTest::mouseClick(bar, Qt::LeftButton, {}, at);
        }
        QCOMPARE(rig.box(box)->text(), expected);
        QCOMPARE(bar->value(), expected.toInt());
        if (box == "add" && expected == "2") {
            QCOMPARE(rig.label("Label4", 1), QString("二号"));
        }
    }

    void unusableNumberTextIsMarkedUntilFixed_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("spinner");
        QTest::addColumn<QString>("text");
        for (const auto& [box, spinner] :
             {std::pair{"add", "VScroll1"}, {"chuankou_num", "VScroll2"}}) {
            for (const char* text : {"", "abc", "-1", "256", "3x"}) {
                QTest::addRow("%s \"%s\"", box, text) << box << spinner << text;
            }
        }
    }
    void unusableNumberTextIsMarkedUntilFixed() {
        QFETCH(QString, box);
        QFETCH(QString, spinner);
        QFETCH(QString, text);
        PanelRig rig;
        QLineEdit* edit = rig.box(box);
        edit->setText("9");
        edit->setText(text);
        QCOMPARE(edit->text(), text);
        QCOMPARE(rig.find<Spinner>(spinner)->value(), 9);
        QVERIFY(marked(edit));
        QVERIFY2(edit->toolTip().contains("0 到 255"), qPrintable(edit->toolTip()));
        edit->setText("5");
        QVERIFY(!marked(edit));
        QCOMPARE(rig.find<Spinner>(spinner)->value(), 5);
        QVERIFY(!edit->toolTip().contains("0 到 255"));
    }

    void addressTextWithoutBoardSendsNothing_data() {
        QTest::addColumn<QString>("text");
        row("empty", "");
        row("letters", "abc");
        row("negative", "-1");
    }
    void addressTextWithoutBoardSendsNothing() {
        QFETCH(QString, text);
        PanelRig rig;
        rig.click("open_comm");
        rig.box("add")->setText(text);
        rig.click("closeall");
        QCOMPARE(rig.tick(), QString());
        QVERIFY(rig.box("add")->toolTip().contains("不发送"));
    }

    void portBoxTooltipNamesLinkedDevice() {
        PanelRig rig;
        QFile device(rig.m_dir.filePath("relay-tty"));
        QVERIFY(device.open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(device.fileName(), rig.m_dir.filePath("com3")));
        rig.box("chuankou_num")->setText("3");
        QVERIFY2(rig.box("chuankou_num")->toolTip().contains("relay-tty"),
                 qPrintable(rig.box("chuankou_num")->toolTip()));
    }
};

QTEST_MAIN(TestMainForm)
#include "test_main_form.moc"
