#include "common/vb.h"

#include <QTest>
#include <cmath>
#include <limits>

namespace osk {

class TestVb final : public QObject {
    Q_OBJECT

private slots:
    void val_data();
    void val();
    void valOutOfRange();
    void isNumeric_data();
    void isNumeric();
    void toInt16_data();
    void toInt16();
    void formatThousands_data();
    void formatThousands();
    void timeAndDateTexts();
};

void TestVb::val_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("plain") << "1033" << 1033.0;
    QTest::newRow("leading blanks, trailing text") << "  12abc" << 12.0;
    QTest::newRow("exponent") << "1.5e2" << 150.0;
    QTest::newRow("exponent with D") << "1.5D2" << 150.0;
    QTest::newRow("negative exponent") << "25E-1" << 2.5;
    QTest::newRow("exponent mark without digits") << "7e" << 7.0;
    QTest::newRow("exponent sign without digits") << "7e+x" << 7.0;
    QTest::newRow("negative") << "-3" << -3.0;
    QTest::newRow("plus sign") << "+4" << 4.0;
    QTest::newRow("two signs") << "--3" << 0.0;
    QTest::newRow("word") << "abc" << 0.0;
    QTest::newRow("fraction only") << ".5" << 0.5;
    QTest::newRow("negative fraction only") << "-.25" << -0.25;
    QTest::newRow("second point stops") << "1.2.3" << 1.2;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("point alone") << "." << 0.0;
    QTest::newRow("sign alone") << "-" << 0.0;
    QTest::newRow("blanks inside are dropped") << "1 0\t3\n3" << 1033.0;
    QTest::newRow("blank after sign") << "- 3" << -3.0;
    QTest::newRow("carriage return stops") << "1\r2" << 1.0;
    QTest::newRow("leading zeros") << "0001033" << 1033.0;
    QTest::newRow("long fraction") << "0.1" << 0.1;
    QTest::newRow("hexadecimal") << "&H1F" << 31.0;
    QTest::newRow("hexadecimal, lower case") << "&h1f" << 31.0;
    QTest::newRow("hexadecimal is a 16-bit integer") << "&HFFFF" << -1.0;
    QTest::newRow("hexadecimal sign bit") << "&H8000" << -32768.0;
    QTest::newRow("hexadecimal past 16 bits") << "&H10000" << 65536.0;
    QTest::newRow("hexadecimal is a 32-bit integer") << "&HFFFFFFFF" << -1.0;
    QTest::newRow("hexadecimal stops at a non-digit") << " &H1FZ" << 31.0;
    QTest::newRow("hexadecimal without digits") << "&H" << 0.0;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("octal stops at 8") << "&O178" << 15.0;
    QTest::newRow("ampersand alone") << "&17" << 0.0;
}

void TestVb::val() {
    QFETCH(QString, text);
    QFETCH(double, expected);

    QCOMPARE(vb::val(text), expected);
}

void TestVb::valOutOfRange() {
    QCOMPARE(vb::val(u"1e400"), std::numeric_limits<double>::infinity());
    QCOMPARE(vb::val(u"-1e400"), -std::numeric_limits<double>::infinity());
    QCOMPARE(vb::val(u"0.0001e-400"), 0.0);
    QCOMPARE(vb::val(u"12345e-400"), 0.0);
    QCOMPARE(vb::val(u"&H100000000"), std::numeric_limits<double>::infinity());
    // 1000 digits and a negative exponent that brings them back into range.
    QCOMPARE(vb::val(QString(u'1') + QString(999, u'0') + QStringLiteral("e-998")), 10.0);
}

void TestVb::isNumeric_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("numeric");
    QTest::addColumn<double>("value");

    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    const auto no = [&](const char* name, const char* text, const QLocale& locale) {
        QTest::newRow(name) << QString::fromUtf8(text) << locale << false << 0.0;
    };
    const auto yes = [&](const char* name, const char* text, const QLocale& locale, double value) {
        QTest::newRow(name) << QString::fromUtf8(text) << locale << true << value;
    };

    no("empty", "", english);
    no("blanks only", "   ", english);
    no("word", "yes", english);
    no("trailing letter", "12a", english);
    yes("exponent", "1e3", english, 1000);
    yes("exponent with sign", "1.5E-3", english, 0.0015);
    no("exponent without digits", "1e", english);
    yes("blanks around", " 7 ", english, 7);
    yes("tab around", "\t7\t", english, 7);
    yes("negative", "-1", english, -1);
    yes("plus", "+1", english, 1);
    yes("decimal", "2.5", english, 2.5);
    yes("trailing point", "2.", english, 2);
    yes("leading point", ".5", english, 0.5);
    no("point alone", ".", english);
    no("sign alone", "-", english);
    no("blank inside", "1 2", english);
    no("two points", "1.2.3", english);
    no("too large for a double", "1e400", english);
    yes("hexadecimal", "&H1F", english, 31);
    yes("hexadecimal is a 16-bit integer", "&HFFFF", english, -1);
    yes("octal", " &O17 ", english, 15);
    no("hexadecimal without digits", "&H", english);
    no("hexadecimal with a bad digit", "&H1G", english);
    no("hexadecimal past 32 bits", "&H100000000", english);
    yes("thousands separator", "1,033", english, 1033);
    yes("thousands separators anywhere among the digits", "1,5", english, 15);
    no("thousands separator first", ",5", english);
    yes("currency before", "$1,234.50", english, 1234.5);
    yes("currency after", "5$", english, 5);
    yes("sign before currency", "-$5", english, -5);
    yes("trailing minus", "5-", english, -5);
    yes("parentheses", "(5)", english, -5);
    yes("parentheses around currency", "($1,234.50)", english, -1234.5);
    no("sign in parentheses", "(-5)", english);
    no("unclosed parenthesis", "(5", english);
    no("two signs", "-5-", english);
    no("other currency", "5 €", english);
    yes("Spanish thousands", "1.033", spanish, 1033);
    yes("Spanish decimal comma", "2,5", spanish, 2.5);
    yes("Spanish currency after a blank", "5 €", spanish, 5);
    no("Spanish has no dollar", "$5", spanish);
}

void TestVb::isNumeric() {
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(bool, numeric);
    QFETCH(double, value);

    QCOMPARE(vb::isNumeric(text, locale), numeric);
    const std::optional<double> number = vb::toNumber(text, locale);
    QCOMPARE(number.has_value(), numeric);
    if (numeric)
        QCOMPARE(*number, value);
}

void TestVb::toInt16_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<int>("expected");

    QTest::newRow("zero") << 0.0 << true << 0;
    QTest::newRow("half to even down") << 2.5 << true << 2;
    QTest::newRow("half to even up") << 3.5 << true << 4;
    QTest::newRow("negative half to even") << -2.5 << true << -2;
    QTest::newRow("negative half up in magnitude") << -3.5 << true << -4;
    QTest::newRow("below half") << 2.4999 << true << 2;
    QTest::newRow("above half") << 2.5001 << true << 3;
    QTest::newRow("largest") << 32767.4 << true << 32767;
    QTest::newRow("rounds past the largest") << 32767.5 << false << 0;
    QTest::newRow("past the largest") << 32768.0 << false << 0;
    QTest::newRow("smallest") << -32768.0 << true << -32768;
    QTest::newRow("half below smallest rounds to even") << -32768.5 << true << -32768;
    QTest::newRow("rounds past the smallest") << -32768.6 << false << 0;
    QTest::newRow("past the smallest") << -32769.0 << false << 0;
    QTest::newRow("huge") << 1e300 << false << 0;
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << false << 0;
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << false << 0;
}

void TestVb::toInt16() {
    QFETCH(double, value);
    QFETCH(bool, fits);
    QFETCH(int, expected);

    const std::optional<int16_t> result = vb::toInt16(value);
    QCOMPARE(result.has_value(), fits);
    if (fits) {
        QCOMPARE(int(*result), expected);
    }
}

void TestVb::formatThousands_data() {
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected");

    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    const QLocale english(QLocale::English, QLocale::UnitedStates);

    QTest::newRow("zero") << qint64(0) << spanish << "0";
    QTest::newRow("three digits") << qint64(999) << spanish << "999";
    // Spanish leaves four-digit numbers ungrouped in its own rules; the format groups them.
    QTest::newRow("four digits") << qint64(1234) << spanish << "1.234";
    QTest::newRow("millions") << qint64(1234567) << spanish << "1.234.567";
    QTest::newRow("exact group") << qint64(100000) << spanish << "100.000";
    QTest::newRow("negative") << qint64(-1234567) << spanish << "-1.234.567";
    QTest::newRow("negative short") << qint64(-12) << spanish << "-12";
    QTest::newRow("english separator") << qint64(1234567) << english << "1,234,567";
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << english << "9,223,372,036,854,775,807";
    QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << english
                              << "-9,223,372,036,854,775,808";
}

void TestVb::formatThousands() {
    QFETCH(qint64, value);
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);

    QCOMPARE(vb::formatThousands(value, locale), expected);
}

void TestVb::timeAndDateTexts() {
    QCOMPARE(vb::timeText(QTime(9, 5, 17)), QStringLiteral("09:05:17"));
    QCOMPARE(vb::timeText(QTime(23, 59, 59, 999)), QStringLiteral("23:59:59"));
    QCOMPARE(vb::timeText(QTime(0, 0)), QStringLiteral("00:00:00"));
    QCOMPARE(vb::dateText(QDate(2026, 12, 4)), QStringLiteral("04/12/2026"));
    QCOMPARE(vb::compactDateText(QDate(2026, 12, 4)), QStringLiteral("04122026"));
    QCOMPARE(vb::compactDateText(QDate(2027, 1, 31)), QStringLiteral("31012027"));
}

} // namespace osk

QTEST_GUILESS_MAIN(osk::TestVb)
#include "test_vb.moc"
