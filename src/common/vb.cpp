#include "common/vb.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace osk::vb {

namespace {

bool isDigit(QChar ch) {
    return ch >= u'0' && ch <= u'9';
}

bool isExponentMark(QChar ch) {
    // The language takes "D" (double precision) as well as "E" for the exponent.
    return ch == u'e' || ch == u'E' || ch == u'd' || ch == u'D';
}

bool isValBlank(QChar ch) {
    return ch == u' ' || ch == u'\t' || ch == u'\n';
}

bool isSurroundingBlank(QChar ch) {
    return ch == u' ' || ch == u'\t';
}

// The pieces of a decimal number as read from the front of a text; no digits at all means no number.
struct NumberParts {
    bool negative = false;
    std::string integerDigits;
    std::string fractionDigits;
    bool exponentNegative = false;
    std::string exponentDigits;
    qsizetype end = 0; // index just after the last character taken

    bool hasMantissa() const { return !integerDigits.empty() || !fractionDigits.empty(); }
};

// Reads sign, digits, one decimal point and an exponent from `text` starting at `pos`, skipping
// the characters `skip` accepts anywhere. An exponent mark with no digits after it is not taken.
template <typename Skip> NumberParts scanNumber(QStringView text, qsizetype pos, Skip skip) {
    NumberParts parts;
    const qsizetype size = text.size();
    auto skipBlanks = [&] {
        while (pos < size && skip(text[pos])) {
            ++pos;
        }
    };

    skipBlanks();
    if (pos < size && (text[pos] == u'-' || text[pos] == u'+')) {
        parts.negative = text[pos] == u'-';
        ++pos;
    }
    for (skipBlanks(); pos < size && isDigit(text[pos]); skipBlanks()) {
        parts.integerDigits += char(text[pos++].unicode());
    }
    if (pos < size && text[pos] == u'.') {
        ++pos;
        for (skipBlanks(); pos < size && isDigit(text[pos]); skipBlanks()) {
            parts.fractionDigits += char(text[pos++].unicode());
        }
    }
    parts.end = pos;
    if (!parts.hasMantissa() || pos >= size || !isExponentMark(text[pos])) {
        return parts;
    }

    ++pos;
    skipBlanks();
    bool exponentNegative = false;
    if (pos < size && (text[pos] == u'-' || text[pos] == u'+')) {
        exponentNegative = text[pos] == u'-';
        ++pos;
    }
    std::string exponentDigits;
    for (skipBlanks(); pos < size && isDigit(text[pos]); skipBlanks()) {
        exponentDigits += char(text[pos++].unicode());
    }
    if (!exponentDigits.empty()) {
        parts.exponentNegative = exponentNegative;
        parts.exponentDigits = std::move(exponentDigits);
        parts.end = pos;
    }
    return parts;
}

// The value of the parts. A magnitude beyond a double is infinite and one below it is zero, so
// that no text makes the conversion fail.
double toDouble(const NumberParts& parts) {
    if (!parts.hasMantissa()) {
        return 0.0;
    }
    std::string canonical = parts.negative ? "-" : "";
    canonical += parts.integerDigits.empty() ? "0" : parts.integerDigits;
    if (!parts.fractionDigits.empty()) {
        canonical += '.';
        canonical += parts.fractionDigits;
    }
    if (!parts.exponentDigits.empty()) {
        canonical += parts.exponentNegative ? "e-" : "e";
        canonical += parts.exponentDigits;
    }

    // std::from_chars, unlike strtod, ignores the C locale that the application sets from the
    // environment, so "2.5" never reads as 2 under a decimal comma.
    double value = 0.0;
    const char* first = canonical.data();
    const char* last = first + canonical.size();
    const auto [ptr, error] = std::from_chars(first, last, value);
    if (error == std::errc()) {
        return value;
    }
    if (error != std::errc::result_out_of_range) {
        return 0.0;
    }

    // Out of range: tell overflow from underflow by the decimal exponent of the first non-zero digit.
    long long exponent = 0;
    for (const char digit : parts.exponentDigits) {
        exponent = std::min<long long>(exponent * 10 + (digit - '0'), std::numeric_limits<int>::max());
    }
    if (parts.exponentNegative) {
        exponent = -exponent;
    }
    const auto firstIntegerDigit = parts.integerDigits.find_first_not_of('0');
    if (firstIntegerDigit != std::string::npos) {
        exponent += static_cast<long long>(parts.integerDigits.size() - firstIntegerDigit) - 1;
    } else {
        const auto firstFractionDigit = parts.fractionDigits.find_first_not_of('0');
        exponent -= static_cast<long long>(firstFractionDigit) + 1;
    }
    const double magnitude = exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return parts.negative ? -magnitude : magnitude;
}

// "&H" and "&O" integers, as far as their digits go.
struct RadixParts {
    bool hasDigits = false;
    bool overflow = false; // more than 32 bits of digits
    quint64 value = 0;
    qsizetype end = 0;
};

int digitValue(QChar ch, int radix) {
    const char16_t c = ch.unicode();
    int digit = radix;
    if (c >= u'0' && c <= u'9')
        digit = c - u'0';
    else if (c >= u'a' && c <= u'f')
        digit = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        digit = c - u'A' + 10;
    return digit < radix ? digit : -1;
}

// The radix that "&H" or "&O" at pos announces, or 0 when none does.
int radixAt(QStringView text, qsizetype pos) {
    if (pos + 1 >= text.size() || text[pos] != u'&')
        return 0;
    const QChar mark = text[pos + 1].toUpper();
    return mark == u'H' ? 16 : mark == u'O' ? 8 : 0;
}

// Reads the digits after the prefix at pos, skipping what `skip` accepts between them.
template <typename Skip> RadixParts scanRadix(QStringView text, qsizetype pos, int radix, Skip skip) {
    RadixParts parts;
    pos += 2;
    for (; pos < text.size(); ++pos) {
        if (skip(text[pos]))
            continue;
        const int digit = digitValue(text[pos], radix);
        if (digit < 0)
            break;
        parts.hasDigits = true;
        parts.value = parts.value * quint64(radix) + quint64(digit);
        if (parts.value > 0xFFFFFFFFu) {
            parts.overflow = true;
            parts.value = 0xFFFFFFFFu + 1;
        }
    }
    parts.end = pos;
    return parts;
}

// A literal that fits in 16 bits is an Integer and one that fits in 32 bits a Long: the bits are
// read as the signed number they hold, so "&HFFFF" is -1 and "&H10000" is 65536.
std::optional<double> radixValue(const RadixParts& parts) {
    if (parts.overflow)
        return std::nullopt;
    if (parts.value <= 0xFFFFu)
        return double(int16_t(uint16_t(parts.value)));
    return double(int32_t(uint32_t(parts.value)));
}

// The locale-aware number of toNumber(), for a text without blanks around it and without a
// radix prefix.
std::optional<double> localeNumber(QStringView text, const QLocale& locale) {
    const QString decimal = locale.decimalPoint();
    const QString group = locale.groupSeparator();
    const QString currency = locale.currencySymbol();
    const qsizetype size = text.size();
    qsizetype pos = 0;
    bool negative = false;
    bool signSeen = false;
    bool currencySeen = false;

    const auto at = [&](const QString& token) {
        return !token.isEmpty() && text.sliced(pos).startsWith(token);
    };
    // The decorations that may stand before or after the digits, each once, blanks between them.
    const auto takeDecorations = [&] {
        for (;;) {
            while (pos < size && isSurroundingBlank(text[pos]))
                ++pos;
            if (!currencySeen && at(currency)) {
                pos += currency.size();
                currencySeen = true;
            } else if (!signSeen && pos < size && (text[pos] == u'-' || text[pos] == u'+')) {
                negative = text[pos] == u'-';
                signSeen = true;
                ++pos;
            } else {
                return;
            }
        }
    };

    const bool parenthesised = size > 0 && text[0] == u'(';
    if (parenthesised)
        ++pos;
    takeDecorations();

    NumberParts parts;
    while (pos < size) {
        if (isDigit(text[pos])) {
            parts.integerDigits += char(text[pos++].unicode());
        } else if (!parts.integerDigits.empty() && group != decimal && at(group)) {
            // Thousands separators are dropped wherever they stand among the whole digits.
            pos += group.size();
        } else {
            break;
        }
    }
    if (at(decimal)) {
        pos += decimal.size();
        while (pos < size && isDigit(text[pos]))
            parts.fractionDigits += char(text[pos++].unicode());
    }
    if (!parts.hasMantissa())
        return std::nullopt;
    if (pos < size && isExponentMark(text[pos])) {
        ++pos;
        if (pos < size && (text[pos] == u'-' || text[pos] == u'+'))
            parts.exponentNegative = text[pos++] == u'-';
        while (pos < size && isDigit(text[pos]))
            parts.exponentDigits += char(text[pos++].unicode());
        if (parts.exponentDigits.empty())
            return std::nullopt;
    }

    takeDecorations();
    if (parenthesised) {
        // "(5)" is an amount of -5; a sign inside the parentheses makes no number.
        if (signSeen || pos >= size || text[pos] != u')')
            return std::nullopt;
        ++pos;
        negative = true;
    }
    if (pos != size)
        return std::nullopt;
    parts.negative = negative;
    const double value = toDouble(parts);
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

// CInt's rounding, independent of the floating-point rounding mode: halves go to the even neighbour.
double roundHalfToEven(double value) {
    const double below = std::floor(value);
    const double fraction = value - below;
    if (fraction < 0.5) {
        return below;
    }
    if (fraction > 0.5) {
        return below + 1.0;
    }
    return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

} // namespace

double val(QStringView text) {
    // Val drops blanks, tabs and line feeds wherever they stand, so "1 033" reads as 1033.
    qsizetype start = 0;
    while (start < text.size() && isValBlank(text[start]))
        ++start;
    if (const int radix = radixAt(text, start)) {
        const RadixParts parts = scanRadix(text, start, radix, isValBlank);
        return radixValue(parts).value_or(std::numeric_limits<double>::infinity());
    }
    return toDouble(scanNumber(text, 0, isValBlank));
}

std::optional<double> toNumber(QStringView text, const QLocale& locale) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSurroundingBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isSurroundingBlank(text[end - 1])) {
        --end;
    }
    const QStringView core = text.sliced(begin, end - begin);
    if (const int radix = radixAt(core, 0)) {
        const RadixParts parts = scanRadix(core, 0, radix, [](QChar) { return false; });
        if (!parts.hasDigits || parts.end != core.size())
            return std::nullopt;
        return radixValue(parts);
    }
    return localeNumber(core, locale);
}

bool isNumeric(QStringView text, const QLocale& locale) {
    return toNumber(text, locale).has_value();
}

std::optional<int16_t> toInt16(double value) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    const double rounded = roundHalfToEven(value);
    if (rounded < std::numeric_limits<int16_t>::min() || rounded > std::numeric_limits<int16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int16_t>(rounded);
}

QString formatThousands(qint64 value, const QLocale& locale) {
    // Grouped by hand: QLocale's own grouping follows each locale's rules (some leave four-digit
    // numbers ungrouped), while the format "#,##0" always groups by threes.
    const quint64 magnitude = value < 0 ? 0 - static_cast<quint64>(value) : static_cast<quint64>(value);
    const QString digits = QString::number(magnitude);
    const QString separator = locale.groupSeparator();

    QString text;
    if (value < 0) {
        text += u'-';
    }
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += separator;
        }
        text += digits[i];
    }
    return text;
}

QString timeText(const QTime& time) {
    return time.toString(u"HH:mm:ss");
}

QString dateText(const QDate& date) {
    return date.toString(u"dd/MM/yyyy");
}

QString compactDateText(const QDate& date) {
    return date.toString(u"ddMMyyyy");
}

} // namespace osk::vb
