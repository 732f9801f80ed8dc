#include "protocol/number_text.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace relay {

std::optional<double> number_from_text(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> whole_number_from_text(const QString& text, std::int64_t min,
                                                   std::int64_t max) {
    const std::optional<double> number = number_from_text(text);
    if (!number) {
        return std::nullopt;
    }
    // Half to even, independent of the current floating-point rounding mode.
    double whole = std::floor(*number);
    const double fraction = *number - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) {
        whole += 1.0;
    }
    if (whole < static_cast<double>(min) || whole > static_cast<double>(max)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(whole);
}

std::optional<std::uint8_t> address_from_text(const QString& text) {
    const auto number = whole_number_from_text(text, std::numeric_limits<std::int32_t>::min(),
                                               std::numeric_limits<std::int32_t>::max());
    if (!number) {
        return std::nullopt;
    }
    const std::int64_t remainder = *number % 256;
    if (remainder < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(remainder);
}

std::optional<std::int16_t> port_number_from_text(const QString& text) {
    const auto number = whole_number_from_text(text, std::numeric_limits<std::int16_t>::min(),
                                               std::numeric_limits<std::int16_t>::max());
    if (!number) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(*number);
}

}  // namespace relay
