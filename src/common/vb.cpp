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
    return toDouble(scanNumber(text, 0, isValBlank));
}

bool isNumeric(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSurroundingBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isSurroundingBlank(text[end - 1])) {
        --end;
    }
    const QStringView core = text.sliced(begin, end - begin);
    const NumberParts parts = scanNumber(core, 0, [](QChar) { return false; });
    return parts.hasMantissa() && parts.end == core.size() && std::isfinite(toDouble(parts));
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
