#include "serial/port_resolver.h"

#include "protocol/number_text.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>

#include <algorithm>

namespace relay {

namespace {

bool is_ascii_digit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool is_usb_adapter(const ListedPort& port) {
    return port.port_name.startsWith(QLatin1String("ttyUSB")) ||
           port.port_name.startsWith(QLatin1String("ttyACM"));
}

QString details_of(const ListedPort& port) {
    QStringList parts;
    for (const QString& part : {port.description, port.manufacturer}) {
        if (!part.trimmed().isEmpty()) {
            parts.append(part.trimmed());
        }
    }
    return parts.isEmpty() ? QString()
                           : QStringLiteral("（%1）").arg(parts.join(QStringLiteral("，")));
}

PortResolution resolve_windows(PortResolution r, const std::vector<ListedPort>& listed) {
    if (r.number < 1) {
        r.failure = QStringLiteral("找不到串口 %1：Windows 的串口从 COM1 开始编号。").arg(r.number);
        return r;
    }
    r.outcome = PortResolution::Outcome::Device;
    r.device = QStringLiteral("COM%1").arg(r.number);
    const auto found = std::find_if(listed.begin(), listed.end(), [&](const ListedPort& port) {
        return port.port_name.compare(r.device, Qt::CaseInsensitive) == 0;
    });
    const QString details =
        found != listed.end() ? details_of(*found) : QStringLiteral("（系统未列出）");
    r.description = QStringLiteral("串口 %1：%2%3").arg(r.number).arg(r.device, details);
    return r;
}

QString listing_text(const std::vector<ListedPort>& ordered) {
    QStringList locations;
    for (const ListedPort& port : ordered) {
        locations.append(port.system_location);
    }
    return locations.join(QStringLiteral("、"));
}

}  // namespace

bool natural_less(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_ascii_digit(a[i]) && is_ascii_digit(b[j])) {
            // Compare digit runs by value without converting: long runs cannot overflow.
            while (i < a.size() - 1 && a[i] == QLatin1Char('0') && is_ascii_digit(a[i + 1])) {
                ++i;
            }
            while (j < b.size() - 1 && b[j] == QLatin1Char('0') && is_ascii_digit(b[j + 1])) {
                ++j;
            }
            qsizetype end_a = i;
            qsizetype end_b = j;
            while (end_a < a.size() && is_ascii_digit(a[end_a])) {
                ++end_a;
            }
            while (end_b < b.size() && is_ascii_digit(b[end_b])) {
                ++end_b;
            }
            if (end_a - i != end_b - j) {
                return end_a - i < end_b - j;
            }
            const int order =
                QStringView(a).mid(i, end_a - i).compare(QStringView(b).mid(j, end_b - j));
            if (order != 0) {
                return order < 0;
            }
            i = end_a;
            j = end_b;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) {
        return a.size() - i < b.size() - j;
    }
    // Same by value ("x01" and "x1"): keep the order total.
    return a < b;
}

std::vector<ListedPort> order_ports(std::vector<ListedPort> ports) {
    std::stable_sort(ports.begin(), ports.end(), [](const ListedPort& x, const ListedPort& y) {
        const bool x_usb = is_usb_adapter(x);
        const bool y_usb = is_usb_adapter(y);
        if (x_usb != y_usb) {
            return x_usb;
        }
        return natural_less(x.port_name, y.port_name);
    });
    return ports;
}

PortResolution resolve_port_number(const QString& text, const std::vector<ListedPort>& listed,
                                   const QString& link_directory, PortNaming naming) {
    PortResolution r;
    const auto number = port_number_from_text(text);
    if (!number) {
        r.outcome = PortResolution::Outcome::BadNumber;
        r.failure = QStringLiteral("串口号“%1”无效：串口号必须是 -32768 到 32767 之间的整数。")
                        .arg(text.trimmed());
        return r;
    }
    r.number = *number;
    if (naming == PortNaming::Windows) {
        return resolve_windows(r, listed);
    }

    // A link the operator placed wins over the list, also when its device is
    // missing: falling back to some other port could drive the wrong board.
    const QString link = QDir(link_directory).filePath(QStringLiteral("com%1").arg(r.number));
    const QFileInfo link_info(link);
    if (link_info.isSymLink() || link_info.exists()) {
        r.outcome = PortResolution::Outcome::Device;
        r.link = link;
        if (link_info.exists()) {
            r.device = link_info.canonicalFilePath();
        } else {
            r.device = link_info.symLinkTarget();
        }
        r.description =
            link_info.isSymLink()
                ? QStringLiteral("串口 %1：%2 → %3（程序目录中的链接）")
                      .arg(r.number)
                      .arg(link, r.device)
                : QStringLiteral("串口 %1：%2（程序目录中的 com%1）").arg(r.number).arg(r.device);
        return r;
    }

    const std::vector<ListedPort> ordered = order_ports(listed);
    if (r.number >= 1 && static_cast<std::size_t>(r.number) <= ordered.size()) {
        const ListedPort& port = ordered[static_cast<std::size_t>(r.number - 1)];
        r.outcome = PortResolution::Outcome::Device;
        r.device = port.system_location;
        r.description =
            QStringLiteral("串口 %1：%2%3").arg(r.number).arg(r.device, details_of(port));
        return r;
    }

    QString listing;
    if (ordered.empty()) {
        listing = QStringLiteral("系统也没有列出任何串口。");
    } else if (r.number < 1) {
        listing = QStringLiteral("系统列出的串口从 1 开始编号。");
    } else {
        listing = QStringLiteral("系统只列出了 %1 个串口：%2。")
                      .arg(ordered.size())
                      .arg(listing_text(ordered));
    }
    r.failure = QStringLiteral("找不到串口 %1 对应的设备：程序目录 %2 中没有 com%1 链接，%3")
                    .arg(r.number)
                    .arg(QDir::toNativeSeparators(QDir(link_directory).absolutePath()), listing);
    return r;
}

PortResolution resolve_port_number(const QString& text, const QString& link_directory) {
    const QString directory =
        link_directory.isEmpty() ? QCoreApplication::applicationDirPath() : link_directory;
    return resolve_port_number(text, listed_ports(), directory, native_port_naming());
}

std::vector<ListedPort> listed_ports() {
    std::vector<ListedPort> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : infos) {
        ports.push_back(
            {info.portName(), info.systemLocation(), info.description(), info.manufacturer()});
    }
    return ports;
}

PortNaming native_port_naming() {
#ifdef Q_OS_WIN
    return PortNaming::Windows;
#else
    return PortNaming::Unix;
#endif
}

}  // namespace relay
