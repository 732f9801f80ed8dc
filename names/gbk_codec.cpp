#include "names/gbk_codec.h"

namespace relay {

namespace {

// A lead byte of a double-byte GBK character.
bool is_lead_byte(char byte) {
    const auto value = static_cast<unsigned char>(byte);
    return value >= 0x81 && value <= 0xFE;
}

}  // namespace

GbkCodec::GbkCodec()
    : m_decoder("GBK", QStringConverter::Flag::Stateless),
      m_encoder("GBK", QStringConverter::Flag::Stateless) {}

bool GbkCodec::is_valid() const {
    return m_decoder.isValid() && m_encoder.isValid();
}

QString GbkCodec::decode(QByteArrayView bytes) const {
    if (bytes.isEmpty()) {
        return QString();
    }
    return m_decoder.decode(bytes);
}

std::optional<QByteArray> GbkCodec::encode(QStringView text) const {
    if (!is_valid()) {
        return std::nullopt;
    }
    QByteArray bytes = m_encoder.encode(text);
    if (decode(bytes) != text) {
        return std::nullopt;
    }
    return bytes;
}

QString GbkCodec::unencodable_characters(QStringView text) const {
    QString result;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype length =
            text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 2
                                                                                             : 1;
        const QStringView character = text.mid(i, length);
        if (!encode(character) && !result.contains(character)) {
            result += character;
        }
        i += length;
    }
    return result;
}

QByteArrayView GbkCodec::cut(QByteArrayView bytes, qsizetype max_bytes) {
    qsizetype end = 0;
    while (end < bytes.size()) {
        const qsizetype length = is_lead_byte(bytes[end]) && end + 1 < bytes.size() ? 2 : 1;
        if (end + length > max_bytes) {
            break;
        }
        end += length;
    }
    return bytes.first(end);
}

}  // namespace relay
