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
// character that does not fit; a text with no number at its start is 0.
double val(QStringView text);

// True when the whole text (blanks around it allowed) is a number: IsNumeric().
bool isNumeric(QStringView text);

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
