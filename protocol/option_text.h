#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace relay {

// The command-line programs' strict readings of numbers and paths: a script
// that passes "1.5" or "0x10" has a bug that the panel's lenient rules would hide.

// Plain decimal digits only, within [min, max].
std::optional<int> strict_decimal(const QString& text, int min, int max);

// "FROM-TO" or a single address, 0 <= FROM <= TO <= 255.
std::optional<std::pair<int, int>> address_range(const QString& text);

// "1,7,200" with ranges "1-4": each address once, in the order given.
std::optional<std::vector<std::uint8_t>> address_list(const QString& text);

// A port: a number 0..255, a device path, or "tcp:HOST:PORT".
bool is_device_path(const QString& port_text);
bool is_port_text(const QString& port_text);

// The far end of "tcp:HOST:PORT": HOST a name, an IPv4 address or an IPv6
// address in brackets ("tcp:[::1]:2000"); PORT 1..65535.
struct TcpAddress {
    QString host;
    quint16 port = 0;
    // "HOST:PORT", with the brackets back around an IPv6 address.
    QString text() const;
};
std::optional<TcpAddress> tcp_address(const QString& port_text);

// A --config file: an INI file of KEY=VALUE lines as the long options name
// them, each value as text ("1,7,200" stays one value). Nothing and why when
// it cannot be read.
std::optional<std::vector<std::pair<QString, QString>>> read_config_file(const QString& path,
                                                                         QString* error);

// The name store knows name.txt only by its directory: PATH is that directory
// or a file called name.txt. Empty and the reason otherwise.
QString name_directory_of(const QString& path, QString* error);

}  // namespace relay

// The command-line programs' exit statuses, the same for relayctl and relayd.
namespace relay::exit_code {
constexpr int Ok = 0;
constexpr int Usage = 2;
constexpr int Port = 3;
constexpr int NoReply = 4;  // relayd: --scan found no board
constexpr int NotVerified = 5;
constexpr int Names = 6;
constexpr int Broker = 7;  // relayd --fail-fast: the broker unreachable or refusing
constexpr int Listen = 8;  // relayd --http: the web side cannot listen
constexpr int Interrupted = 130;
}  // namespace relay::exit_code
