#include "panel_rig.h"
#include "ui/name_form.h"

#include <QFile>
#include <QPushButton>

using namespace relay;
using relay::testing::PanelRig;

namespace {

QLineEdit* name_box(const PanelRig& rig) {
    NameForm* form = rig.m_form->name_form();
    return form == nullptr ? nullptr : form->findChild<QLineEdit*>("mingcheng");
}

void press(const PanelRig& rig, const char* button) {
    QTest::mouseClick(rig.m_form->name_form()->findChild<QPushButton*>(button), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QByteArray file_bytes(const PanelRig& rig) {
    QFile file(rig.m_dir.filePath("name.txt"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class TestNameForm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void nameClickOpensDialogWithStoredName() {
        PanelRig rig;
        rig.store_name("1", 5, "冷却风扇");
        rig.click("Label4(5)");
        NameForm* form = rig.m_form->name_form();
        QVERIFY(form != nullptr && form->isVisible());
        QCOMPARE(form->windowTitle(), QString("更改名称"));
        QCOMPARE(name_box(rig)->text(), QString("冷却风扇"));
        QCOMPARE(form->focusWidget(), name_box(rig));
        QVERIFY(rig.find("open_comm")->isEnabled());  // the main window stays usable
    }

    void okStoresNameAndMainWindowShowsItAtOnce() {
        PanelRig rig;
        rig.click("Label4(5)");
        name_box(rig)->setText("进水阀");
        press(rig, "Command_ok");
        QVERIFY(rig.m_form->name_form() == nullptr);
        QCOMPARE(rig.stored_name("1", 5), QString("进水阀"));
        QCOMPARE(rig.label("Label4", 5), QString("进水阀"));
        rig.click("Label4(5)");
        QCOMPARE(name_box(rig)->text(), QString("进水阀"));  // a new dialog loads afresh
    }

    void cancelLeavesFileAndLabelsAlone() {
        PanelRig rig;
        const QByteArray before = file_bytes(rig);
        rig.click("Label4(2)");
        name_box(rig)->setText("不要");
        press(rig, "Command_cansel");
        QVERIFY(rig.m_form->name_form() == nullptr);
        QCOMPARE(file_bytes(rig), before);
        QCOMPARE(rig.label("Label4", 2), QString("第2路"));
    }

    void secondNameClickRetargetsWithoutReloading() {
        PanelRig rig;
        rig.click("Label4(3)");
        NameForm* first = rig.m_form->name_form();
        rig.box("add")->setText("4");
        rig.click("Label4(5)");
        QCOMPARE(rig.m_form->name_form(), first);
        QCOMPARE(rig.m_form->findChildren<NameForm*>().size(), 1);
        QCOMPARE(name_box(rig)->text(), QString("第3路"));
        press(rig, "Command_ok");
        QCOMPARE(rig.stored_name("4", 5), QString("第3路"));
        QCOMPARE(rig.label("Label4", 5), QString("第3路"));
    }

    void okSavesUnderHandedAddressAndReloadsShownOne() {
        PanelRig rig;
        rig.click("Label4(1)");
        rig.box("add")->setText("2");
        name_box(rig)->setText("一号一路");
        press(rig, "Command_ok");
        QCOMPARE(rig.stored_name("1", 1), QString("一号一路"));
        QCOMPARE(rig.box("add")->text(), QString("2"));
        QCOMPARE(rig.label("Label4", 1), QString("第1路"));
    }

    void addressTextIsUsedAsTyped() {
        PanelRig rig;
        rig.box("add")->setText("7");
        QTest::keyClick(rig.box("add"), Qt::Key_Home);
        QTest::keyClicks(rig.box("add"), "0");
        rig.click("Label4(1)");
        QCOMPARE(name_box(rig)->text(), QString());  // no section "地址码07" yet
        name_box(rig)->setText("零七");
        press(rig, "Command_ok");
        QCOMPARE(rig.stored_name("07", 1), QString("零七"));
        QCOMPARE(rig.stored_name("7", 1), QString("第1路"));
        QCOMPARE(rig.label("Label4", 1), QString("零七"));
    }

    void loadKeepsInitialTextForUnusableTarget_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("channel");
        QTest::newRow("address 256") << "256"
                                     << "1";
        QTest::newRow("address not a number") << "abc"
                                              << "1";
        QTest::newRow("empty address") << ""
                                       << "1";
        QTest::newRow("channel 0") << "1"
                                   << "0";
        QTest::newRow("channel 17") << "1"
                                    << "17";
    }
    void loadKeepsInitialTextForUnusableTarget() {
        QFETCH(QString, address);
        QFETCH(QString, channel);
        PanelRig rig;
        NameFile names(rig.m_messages, rig.m_dir.path());
        NameForm form(names, nullptr);
        form.set_target(address, channel);
        form.load();
        QCOMPARE(form.findChild<QLineEdit*>("mingcheng")->text(), QString("Text1"));
        QCOMPARE(rig.m_messages.count(), 0);
    }

    void unstorableNameKeepsDialogOpenWithText() {
        PanelRig rig;
        rig.click("Label4(6)");
        name_box(rig)->setText("第一行\n第二行");
        press(rig, "Command_ok");
        QCOMPARE(rig.m_messages.count(), 1);
        QVERIFY(rig.m_form->name_form() != nullptr);
        QCOMPARE(name_box(rig)->text(), QString("第一行\n第二行"));
        QCOMPARE(rig.stored_name("1", 6), QString("第6路"));
    }

    void dialogClosesWithMainWindow() {
        PanelRig rig;
        rig.click("Label4(1)");
        QVERIFY(rig.m_form->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(rig.m_form->name_form() == nullptr);
    }
};

QTEST_MAIN(TestNameForm)
#include "test_name_form.moc"
