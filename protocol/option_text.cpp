#include "protocol/option_text.h"

#include "protocol/number_text.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>

#include <algorithm>

namespace relay {

std::optional<int> strict_decimal(const QString& text, int min, int max) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    const auto value = whole_number_from_text(text, min, max);
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

std::optional<std::pair<int, int>> address_range(const QString& text) {
    const QStringList ends = text.split(QLatin1Char('-'));
    const auto from = ends.size() <= 2 ? strict_decimal(ends.front(), 0, 255) : std::nullopt;
    const auto to = ends.size() == 2 ? strict_decimal(ends.back(), 0, 255) : from;
    if (!from || !to || *from > *to) {
        return std::nullopt;
    }
    return std::make_pair(*from, *to);
}

std::optional<std::vector<std::uint8_t>> address_list(const QString& text) {
    std::vector<std::uint8_t> addresses;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const auto range = address_range(item.trimmed());
        if (!range) {
            return std::nullopt;
        }
        for (int address = range->first; address <= range->second; ++address) {
            const auto byte = static_cast<std::uint8_t>(address);
            if (std::find(addresses.begin(), addresses.end(), byte) == addresses.end()) {
                addresses.push_back(byte);
            }
        }
    }
    return addresses;
}

bool is_device_path(const QString& port_text) {
    return port_text.contains(QLatin1Char('/'));
}

bool is_port_text(const QString& port_text) {
    if (port_text.startsWith(QLatin1String("tcp:"))) {
        return tcp_address(port_text).has_value();
    }
    return is_device_path(port_text) || strict_decimal(port_text, 0, 255).has_value();
}

QString TcpAddress::text() const {
    const QString shown =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shown + QLatin1Char(':') + QString::number(port);
}

std::optional<TcpAddress> tcp_address(const QString& port_text) {
    // A bare IPv6 address would make the last colon ambiguous, hence brackets.
    static const QRegularExpression form(
        QStringLiteral(R"(^tcp:(?:\[([0-9A-Fa-f.]*:[0-9A-Fa-f:.]*)\]|([^\s:/\[\]]+)):([0-9]+)$)"));
    const QRegularExpressionMatch match = form.match(port_text);
    const auto port = match.hasMatch() ? strict_decimal(match.captured(3), 1, 65535) : std::nullopt;
    if (!port) {
        return std::nullopt;
    }
    TcpAddress address;
    address.host = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
    address.port = static_cast<quint16>(*port);
    return address;
}

std::optional<std::vector<std::pair<QString, QString>>> read_config_file(const QString& path,
                                                                         QString* error) {
    if (!QFileInfo(path).isReadable()) {
        *error = QStringLiteral("cannot read the config file %1").arg(path);
        return std::nullopt;
    }
    QSettings settings(path, QSettings::IniFormat);
    std::vector<std::pair<QString, QString>> values;
    for (const QString& key : settings.allKeys()) {
        const QVariant value = settings.value(key);
        // QSettings splits "1,7,200" into a list.
        values.emplace_back(key, value.typeId() == QMetaType::QStringList
                                     ? value.toStringList().join(QLatin1Char(','))
                                     : value.toString());
    }
    return values;
}

QString name_directory_of(const QString& path, QString* error) {
    const QFileInfo info(path);
    if (info.isDir()) {
        return info.filePath();
    }
    if (info.fileName() == QLatin1String("name.txt")) {
        return info.path();
    }
    *error = QStringLiteral("--name-file wants a file called name.txt or its directory, not \"%1\"")
                 .arg(info.filePath());
    return QString();
}

}  // namespace relay
