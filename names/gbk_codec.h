#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringView>

#include <optional>

namespace relay {

// Code page 936 (GBK), the encoding of name.txt, without a byte-order mark.
// Cheap to make; make one per operation (the converters are not thread-safe).
class GbkCodec {
public:
    GbkCodec();

    // False when this Qt has no GBK converter (built without ICU).
    bool is_valid() const;

    QString decode(QByteArrayView bytes) const;

    // The GBK bytes of text, or nothing when some character has no GBK form.
    // Checked by decoding the result again, since the encoder may put '?' in
    // place of such a character without saying so.
    std::optional<QByteArray> encode(QStringView text) const;

    // The characters of text that have no GBK form, each once, in order.
    QString unencodable_characters(QStringView text) const;

    // The longest start of bytes that is at most max_bytes long and does not
    // end inside a double-byte character.
    static QByteArrayView cut(QByteArrayView bytes, qsizetype max_bytes);

private:
    mutable QStringDecoder m_decoder;
    mutable QStringEncoder m_encoder;
};

}  // namespace relay
