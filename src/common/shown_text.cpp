#include "common/shown_text.h"

#include "common/ansi_codec.h"

namespace osk {

QString blankControls(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    return text;
}

QString loggedClientText(QByteArrayView bytes) {
    // One wire byte is one character, so cutting the bytes first decodes only what is kept.
    const bool cut = bytes.size() > kMaxLoggedClientText;
    QString text = blankControls(AnsiCodec::decode(cut ? bytes.first(kMaxLoggedClientText) : bytes));
    if (cut)
        text += QStringView(kCutMark);
    return text;
}

} // namespace osk
