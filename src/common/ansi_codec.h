#pragma once

#include <QByteArray>
#include <QString>

namespace osk {

// Windows-1252, the 8-bit text of the wire and of the files the program writes. Bijective on
// bytes: the five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the
// C1 controls of the same value, so decode(b) encodes back to b for every byte string b.
// Characters outside the code page encode as '?'.
class AnsiCodec final {
public:
    static QString decode(QByteArrayView bytes);
    static QByteArray encode(QStringView text);
};

} // namespace osk
