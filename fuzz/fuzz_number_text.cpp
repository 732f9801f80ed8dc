// Address and port number texts: never crash, and every accepted text means a
// number in range that reads the same after a round trip through its decimal text.
#include "protocol/number_text.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const auto address = relay::address_from_text(text)) {
        const auto again = relay::address_from_text(QString::number(*address));
        if (!again || *again != *address) {
            std::abort();
        }
    }
    if (const auto port = relay::port_number_from_text(text)) {
        const auto again = relay::port_number_from_text(QString::number(*port));
        if (!again || *again != *port) {
            std::abort();
        }
    }
    if (const auto whole = relay::whole_number_from_text(text, 0, 255)) {
        if (*whole < 0 || *whole > 255) {
            std::abort();
        }
    }
    return 0;
}
