#pragma once

#include <QDate>
#include <QLocale>
#include <QString>
#include <QTime>
#include <cstdint>
#include <optional>

// The conversions of the original program's language that its documented behaviour relies on.
namespace osk::vb {

// The numeric value of a text the way Val() reads it: leading blanks skipped, an optional sign,
// digits with at most one decimal point and an optional exponent; reading stops at the first
// character that does not fit; a text with no number at its start is 0. "&H" and "&O" start a
// hexadecimal or octal number, which is a 16-bit integer when it fits in four hexadecimal digits
// and a 32-bit one when it fits in eight ("&HFFFF" is -1); more than that is out of range
// (infinite). Val knows no locale: the decimal point is always ".".
double val(QStringView text);

// The value the language's conversion of a text to a number takes (CInt, CByte, CDbl and the test
// of IsNumeric), or nothing when the text is no number. Unlike Val it takes the whole text and the
// locale's way of writing numbers: blanks around, "&H"/"&O" prefixes, the locale's decimal point
// and thousands separator, its currency symbol before or after, a sign before or after, and
// parentheses for a negative amount. The locale is the default one, the system's unless set.
std::optional<double> toNumber(QStringView text, const QLocale& locale = QLocale());

// True when the whole text is a number: IsNumeric().
bool isNumeric(QStringView text, const QLocale& locale = QLocale());

// Round to a signed 16-bit integer as CInt() does (halves to even); nullopt on overflow.
std::optional<int16_t> toInt16(double value);

// The pattern "#,##0": no decimals (rounded), digits grouped by threes with the locale's
// thousands separator.
QString formatThousands(qint64 value, const QLocale& locale = QLocale::system());

// "HH:MM:SS", 24 hours.
QString timeText(const QTime& time);
// "DD/MM/YYYY".
QString dateText(const QDate& date);
// "DDMMYYYY", the log file's name.
QString compactDateText(const QDate& date);

} // namespace osk::vb
