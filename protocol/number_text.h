#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace relay {

// Operator-typed numbers, read the way the older Windows panel read them: a
// decimal number, blanks around it allowed, a fractional part rounded half to
// even. Empty or non-numeric text gives nothing.
std::optional<double> number_from_text(const QString& text);

// A whole number within [min, max] after rounding, or nothing.
std::optional<std::int64_t> whole_number_from_text(const QString& text, std::int64_t min,
                                                   std::int64_t max);

// The board address the text selects: a signed 32-bit number reduced modulo
// 256 ("257" is board 1). A negative number that is not a multiple of 256, or
// text that is no number, selects no board at all (never board 0).
std::optional<std::uint8_t> address_from_text(const QString& text);

// A port number: a signed 16-bit whole number.
std::optional<std::int16_t> port_number_from_text(const QString& text);

}  // namespace relay
