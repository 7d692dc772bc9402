#include "common/ansi_codec.h"
#include "common/clock.h"
#include "common/vb.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <ctime>
#include <limits>

namespace osk {

// The language's numeric conversions, the Windows-1252 codec and the local time, each against
// literal values.
class TestConversions final : public QObject {
    Q_OBJECT

private slots:
    void val_data();
    void val();
    void toNumber_data();
    void toNumber();
    void roundingAndFormats();
    void codecBytes_data();
    void codecBytes();
    void codecRoundTripsEveryByte();
    void systemClockFollowsTheComputersZone();
};

void TestConversions::val_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    const auto row = [](const char* text, double expected) {
        QTest::newRow(text) << QString::fromUtf8(text) << expected;
    };
    row("", 0);
    row("  12abc", 12);
    row("1.5D2", 150);
    row("25E-1", 2.5);
    row("1.2.3", 1.2);
    row("1,5", 1);
    row("1 0\t3\n3", 1033);
    row("&H1F", 31);
    row("&HFFFF", -1);
    row("&H10000", 65536);
    row("&HFFFFFFFF", -1);
    row(" &H1FZ", 31);
    row("&O17", 15);
    row("&O178", 15);
    row("1e400", std::numeric_limits<double>::infinity());
    row("&H100000000", std::numeric_limits<double>::infinity());
}

void TestConversions::val() {
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(vb::val(text), expected);
}

void TestConversions::toNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("numeric");
    QTest::addColumn<double>("value");
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    const auto row = [](const char* text, const QLocale& locale, bool numeric, double value) {
        QTest::newRow(text) << QString::fromUtf8(text) << locale << numeric << value;
    };
    row("", english, false, 0);
    row(" 7\t", english, true, 7);
    row("1.5E-3", english, true, 0.0015);
    row("1e", english, false, 0);
    row("1e400", english, false, 0);
    row(" &O17 ", english, true, 15);
    row("&HFFFF", english, true, -1);
    row("&H1G", english, false, 0);
    row("&H100000000", english, false, 0);
    row("1,033", english, true, 1033);
    row("$1,234.50", english, true, 1234.5);
    row("5-", english, true, -5);
    row("($1,234.50)", english, true, -1234.5);
    row("(-5)", english, false, 0);
    row("1.033", spanish, true, 1033);
    row("2,5", spanish, true, 2.5);
    row("5 €", spanish, true, 5);
    row("$5", spanish, false, 0);
}

void TestConversions::toNumber() {
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(bool, numeric);
    QFETCH(double, value);
    QCOMPARE(vb::isNumeric(text, locale), numeric);
    QCOMPARE(vb::toNumber(text, locale).value_or(0), value);
}

void TestConversions::roundingAndFormats() {
    // CInt: halves to the even neighbour, 16 bits.
    const std::pair<double, int> rounded[] = {
        {2.5, 2}, {3.5, 4}, {-2.5, -2}, {2.5001, 3}, {-32768.5, -32768}};
    for (const auto& [value, expected] : rounded)
        QCOMPARE(vb::toInt16(value).value_or(0), expected);
    for (const double outside : {32767.5, -32768.6, std::numeric_limits<double>::quiet_NaN()})
        QVERIFY(!vb::toInt16(outside));

    // "#,##0" groups by threes whatever the locale's own rule for four digits.
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    QCOMPARE(vb::formatThousands(1234, spanish), QStringLiteral("1.234"));
    QCOMPARE(vb::formatThousands(-1234567, spanish), QStringLiteral("-1.234.567"));
    QCOMPARE(vb::formatThousands(std::numeric_limits<qint64>::min(), QLocale(QLocale::English)),
             QStringLiteral("-9,223,372,036,854,775,808"));

    QCOMPARE(vb::timeText(QTime(9, 5, 17, 999)), QStringLiteral("09:05:17"));
    QCOMPARE(vb::dateText(QDate(2026, 12, 4)), QStringLiteral("04/12/2026"));
    QCOMPARE(vb::compactDateText(QDate(2027, 1, 31)), QStringLiteral("31012027"));
}

void TestConversions::codecBytes_data() {
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("codePoint");
    QTest::newRow("A") << 0x41 << 0x41;
    QTest::newRow("euro") << 0x80 << 0x20AC;
    QTest::newRow("undefined 0x81") << 0x81 << 0x81;
    QTest::newRow("per mille") << 0x89 << 0x2030;
    QTest::newRow("S caron") << 0x8A << 0x160;
    QTest::newRow("undefined 0x9D") << 0x9D << 0x9D;
    QTest::newRow("Y diaeresis") << 0x9F << 0x178;
    QTest::newRow("no-break space") << 0xA0 << 0xA0;
    QTest::newRow("enye") << 0xF1 << 0xF1;
    QTest::newRow("y diaeresis") << 0xFF << 0xFF;
}

void TestConversions::codecBytes() {
    QFETCH(int, byte);
    QFETCH(int, codePoint);
    const QByteArray bytes(1, char(byte));
    QCOMPARE(AnsiCodec::decode(bytes), QString(QChar(codePoint)));
    QCOMPARE(AnsiCodec::encode(QString(QChar(codePoint))), bytes);
}

void TestConversions::codecRoundTripsEveryByte() {
    QByteArray all;
    for (int byte = 0; byte < 256; ++byte)
        all += char(byte);
    QCOMPARE(AnsiCodec::encode(AnsiCodec::decode(all)), all);
    // Outside the code page: one "?" per character, a surrogate pair included.
    QCOMPARE(AnsiCodec::encode(QStringLiteral("a中😀b")), QByteArray("a??b"));
}

namespace {
void setZone(const char* zone) {
    qputenv("TZ", zone);
    tzset();
}
} // namespace

// Local time in the computer's zone, and in its new zone within a second of a change (zones given
// as rules, so that no zone database is needed).
void TestConversions::systemClockFollowsTheComputersZone() {
    const QByteArray saved = qgetenv("TZ");
    const bool wasSet = qEnvironmentVariableIsSet("TZ");
    setZone("<-03>3");
    const SystemClock clock;
    const QDateTime now = clock.now();
    QCOMPARE(now.offsetFromUtc(), -3 * 3600);
    QVERIFY(qAbs(now.toMSecsSinceEpoch() - QDateTime::currentMSecsSinceEpoch()) < 1000);
    QCOMPARE(now.time().hour(), QDateTime::currentDateTimeUtc().addSecs(-3 * 3600).time().hour());

    setZone("<+0530>-5:30");
    QElapsedTimer waited;
    waited.start();
    while (clock.now().offsetFromUtc() != 5 * 3600 + 30 * 60 && waited.elapsed() < 3000)
        QThread::msleep(50);
    const int offset = clock.now().offsetFromUtc();
    if (wasSet)
        setZone(saved.constData());
    else {
        qunsetenv("TZ");
        tzset();
    }
    QCOMPARE(offset, 5 * 3600 + 30 * 60);
}

} // namespace osk

QTEST_APPLESS_MAIN(osk::TestConversions)
#include "test_conversions.moc"
