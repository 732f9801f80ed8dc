#include "serial/port_messages.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace relay {

namespace {

QString device_name(const PortResolution& port) {
    return port.link.isEmpty() ? port.device
                               : QStringLiteral("%1 → %2").arg(port.link, port.device);
}

QString permission_advice(const PortResolution& port, const QString& group) {
    // Adding the user to root's group would be bad advice; dialout is where
    // serial devices normally belong.
    if (group.isEmpty() || group == QLatin1String("root")) {
        return QStringLiteral(
                   "没有访问权限：设备 %1 只允许 root 访问。串口设备通常属于 dialout "
                   "组；请检查设备权限，"
                   "并把当前用户加入该组：sudo usermod -aG dialout $USER，然后注销并重新登录。")
            .arg(port.device);
    }
    return QStringLiteral(
               "没有访问权限：设备 %1 属于 %2 组（通常是 dialout）。请把当前用户加入该组："
               "sudo usermod -aG %2 $USER，然后注销并重新登录。")
        .arg(port.device, group);
}

}  // namespace

QString open_failure_text(const PortResolution& port, const OpenFailure& failure) {
    QString reason;
    switch (failure.error) {
        case QSerialPort::DeviceNotFoundError:
            reason =
                port.link.isEmpty()
                    ? QStringLiteral("设备不存在。")
                    : QStringLiteral("链接 %1 指向的设备 %2 不存在。").arg(port.link, port.device);
            break;
        case QSerialPort::PermissionError:
            reason = failure.accessible ? QStringLiteral("串口正被其他程序占用，请先关闭那个程序。")
                                        : permission_advice(port, failure.device_group);
            break;
        case QSerialPort::OpenError:
            reason = QStringLiteral("串口已经打开。");
            break;
        case QSerialPort::UnsupportedOperationError:
            reason = QStringLiteral(
                "这个设备不是串口，或不支持 9600 波特、8 个数据位、无校验、1 个停止位。");
            break;
        default:
            reason = QStringLiteral("打开失败。");
            break;
    }
    QString text =
        QStringLiteral("无法打开串口 %1（%2）：%3").arg(port.number).arg(device_name(port), reason);
    if (!failure.system_reason.isEmpty()) {
        text += QStringLiteral("（系统信息：%1）").arg(failure.system_reason);
    }
    return text;
}

QString device_lost_text(const PortResolution& port) {
    return QStringLiteral(
               "串口 %1（%2）的设备已断开（例如 USB 转换器被拔出），串口已关闭。"
               "接好设备后可以重新打开串口。")
        .arg(port.number)
        .arg(device_name(port));
}

OpenFailure inspect_device(const QString& device, QSerialPort::SerialPortError error,
                           const QString& system_reason) {
    OpenFailure failure;
    failure.error = error;
    failure.system_reason = system_reason;
#ifdef Q_OS_UNIX
    failure.device_group = QFileInfo(device).group();
    failure.accessible = ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0;
#else
    // Windows refuses a port that another program holds; there is no group to join.
    failure.accessible = true;
#endif
    return failure;
}

}  // namespace relay
