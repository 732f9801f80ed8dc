#include "serial/qt_serial_port.h"
#include "ui/main_form.h"
#include "ui/song_font.h"

#include <QApplication>
#include <QIcon>

#include <memory>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    relay::substitute_song_face();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/relay-panel.png")));

    relay::MainForm form(QCoreApplication::applicationDirPath(),
                         std::make_unique<relay::QtSerialPort>());
    form.load_form();
    form.show();
    return QApplication::exec();
}
