#include "common/ansi_codec.h"
#include "common/clock.h"
#include "common/owned_file.h"
#include "common/vb.h"
#include "common/whole_file.h"
#include "support/snapshot.h"
#include "support/test_io.h"

#include <QtTest>
#include <ctime>
#include <limits>
#include <sys/stat.h>

namespace osk {

using namespace Qt::StringLiterals;

// The language's numeric conversions, the Windows-1252 codec and the local time, each against
// literal values; the program's own files opened only when they are regular files.
class TestCommon final : public QObject {
    Q_OBJECT

private slots:
    void numbers();
    void roundingAndFormats();
    void codecEveryByte();
    void systemClockFollowsTheComputersZone();
    void refusesWhatIsNotARegularFile();
};

// Each line: the text in brackets, as Val reads it, and as the conversions read it in English and
// in Spanish ("no": not a number).
void TestCommon::numbers() {
    const QString expected = QString::fromUtf8(
        "[] 0 no no\n[  12abc] 12 no no\n[1.5D2] 150 150 1500\n[1.5d2] 150 150 1500\n[25E-1] 2.5 2.5 2.5\n"
        "[1.2.3] 1.2 no 123\n[1,5] 1 15 1.5\n[1 0\\t3\\n3] 1033 no no\n[&H1F] 31 31 31\n[&h1f] 31 31 31\n"
        "[&HFFFF] -1 -1 -1\n[&H10000] 65536 65536 65536\n[&HFFFFFFFF] -1 -1 -1\n[ &H1FZ] 31 no no\n"
        "[&O17] 15 15 15\n[&o17] 15 15 15\n[&O178] 15 no no\n[1e400] inf no no\n[&H100000000] inf no no\n"
        "[ 7\\t] 7 7 7\n[1.5E-3] 0.0015 0.0015 0.015\n[1e] 1 no no\n[ &O17 ] 15 15 15\n[&h1G] 1 no no\n"
        "[1,033] 1 1033 1.033\n[$1,234.50] 0 1234.5 no\n[5-] 5 -5 -5\n[($1,234.50)] 0 -1234.5 no\n"
        "[(-5)] 0 no no\n[1.033] 1.033 1.033 1033\n[2,5] 2 25 2.5\n[5 €] 5 no 5\n[$5] 0 5 no");
    const QLocale english(QLocale::English, QLocale::UnitedStates), spanish(QLocale::Spanish, QLocale::Spain);
    const auto converted = [](const QString& text, const QLocale& locale) {
        const std::optional<double> value = vb::toNumber(text, locale);
        if (value.has_value() != vb::isNumeric(text, locale))
            return u"disagree"_s;
        return value ? QString::number(*value) : u"no"_s;
    };
    QStringList read;
    for (const QString& line : expected.split(u'\n')) {
        const QString shown = line.mid(1, line.indexOf(QLatin1String("] ")) - 1);
        const QString t =
            QString(shown).replace(QLatin1String("\\t"), "\t").replace(QLatin1String("\\n"), "\n");
        read << u"[%1] %2 %3 %4"_s.arg(shown, QString::number(vb::val(t)), converted(t, english),
                                       converted(t, spanish));
    }
    OSK_COMPARE_SNAPSHOT(read.join(u'\n'), expected);
}

void TestCommon::roundingAndFormats() {
    // CInt: halves to the even neighbour, 16 bits ("-": out of range).
    QStringList rounded;
    for (const double value : {2.5, 3.5, -2.5, 2.5001, -32768.5, 32767.5, -32768.6, qQNaN()})
        rounded << (vb::toInt16(value) ? QString::number(*vb::toInt16(value)) : u"-"_s);
    QCOMPARE(rounded.join(u' '), u"2 4 -2 3 -32768 - - -"_s);

    // "#,##0" groups by threes whatever the locale's own rule for four digits.
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    QCOMPARE(vb::formatThousands(1234, spanish) + u' ' + vb::formatThousands(-1234567, spanish) + u' ' +
                 vb::formatThousands(std::numeric_limits<qint64>::min(), QLocale(QLocale::English)),
             u"1.234 -1.234.567 -9,223,372,036,854,775,808"_s);
    QCOMPARE(vb::timeText(QTime(9, 5, 17, 999)) + u' ' + vb::dateText(QDate(2026, 12, 4)) + u' ' +
                 vb::compactDateText(QDate(2027, 1, 31)),
             u"09:05:17 04/12/2026 31012027"_s);
}

// Every byte to its character and back: 0x80 to 0x9F as the code page has them (the five it leaves
// undefined are the C1 controls of their own value), every other byte the character of its value.
void TestCommon::codecEveryByte() {
    const char16_t high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                               0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    QByteArray all;
    QString characters;
    for (int byte = 0; byte < 256; ++byte) {
        all += char(byte);
        characters += QChar(byte >= 0x80 && byte < 0xA0 ? high[byte - 0x80] : char16_t(byte));
    }
    QCOMPARE(AnsiCodec::decode(all), characters);
    QCOMPARE(AnsiCodec::encode(characters), all);
    // Outside the code page, one "?" each: the C1 controls whose bytes hold other characters, past
    // Latin-1, a surrogate pair, and surrogates without their other half.
    const QString outside = QString(QChar(0x80)) + QChar(0x89) + QChar(0x9F) + QChar(0x100) + QChar(0x2031) +
                            QChar(0x4E2D) + QString::fromUtf8("\xF0\x9F\x98\x80") + QChar(0xD800) + u'a' +
                            QChar(0xDC00);
    QCOMPARE(AnsiCodec::encode(outside), QByteArray("????????a?"));
}

// Local time in the computer's zone, and in its new zone within a second of a change (zones given
// as rules, so that no zone database is needed).
void TestCommon::systemClockFollowsTheComputersZone() {
    const std::optional<QByteArray> saved =
        qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt;
    qputenv("TZ", "<-03>3");
    tzset();
    const SystemClock clock;
    const QDateTime now = clock.now();
    QCOMPARE(now.offsetFromUtc(), -3 * 3600);
    QCOMPARE(now.time().hour(), QDateTime::currentDateTimeUtc().addSecs(-3 * 3600).time().hour());

    qputenv("TZ", "<+0530>-5:30");
    tzset();
    QElapsedTimer waited;
    waited.start();
    while (clock.now().offsetFromUtc() != 5 * 3600 + 30 * 60 && waited.elapsed() < 3000)
        QThread::msleep(50);
    const int offset = clock.now().offsetFromUtc();
    (void)(saved ? qputenv("TZ", *saved) : qunsetenv("TZ"));
    tzset();
    QCOMPARE(offset, 5 * 3600 + 30 * 60);
}

// A link is never followed, a FIFO never waited on (nobody at its other end), a folder never
// taken for a file, whatever the access; each is refused with the reason, and what a link leads
// to is left alone. The system's reasons in Spanish follow.
void TestCommon::refusesWhatIsNotARegularFile() {
    QTemporaryDir dir;
    const QString target = dir.filePath("target.txt");
    QVERIFY(test::writeFileBytes(target, "precioso"));
    QVERIFY(QFile::link(target, dir.filePath("eventlog.journal")));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("OskServer.INI")).constData(), 0600), 0);
    QStringList refused;
    for (const QString& name : {u"eventlog.journal"_s, u"OskServer.INI"_s})
        for (auto access : {OwnedFile::Access::Read, OwnedFile::Access::Append, OwnedFile::Access::ReadAppend,
                            OwnedFile::Access::Replace}) {
            const auto file = OwnedFile::open(dir.filePath(name), access);
            refused << (file.ok() ? u"opened"_s : file.error());
        }
    refused << OwnedFile::open(dir.path(), OwnedFile::Access::Read).error() << systemReason(ENOSPC)
            << systemReason(EACCES) << systemReason(EROFS) << systemReason(EPERM);
    OSK_COMPARE_SNAPSHOT(
        refused.join(u'\n').replace(dir.path(), u"<dir>"_s),
        QString::fromUtf8("No se puede abrir el archivo <dir>/eventlog.journal: es un enlace simbólico.\n")
                .repeated(4) +
            u"No se puede abrir el archivo <dir>/OskServer.INI: no es un archivo normal.\n"_s.repeated(4) +
            QString::fromUtf8(
                "No se puede abrir el archivo <dir>: es una carpeta.\nno queda espacio en el disco\n"
                "permiso denegado\nel sistema de archivos es de solo lectura\npermiso "
                "denegado"));
    QCOMPARE(test::readFileBytes(target), QByteArray("precioso"));
    // A whole-file write aimed at a FIFO leaves the FIFO.
    QCOMPARE(
        writeWholeFile(dir.filePath("OskServer.INI"), "linea\r\n").error(),
        u"No se puede abrir el archivo %1: no es un archivo normal."_s.arg(dir.filePath("OskServer.INI")));
    QVERIFY(!QFileInfo(dir.filePath("OskServer.INI")).isFile() &&
            QFileInfo::exists(dir.filePath("OskServer.INI")));
}

} // namespace osk

QTEST_APPLESS_MAIN(osk::TestCommon)
#include "test_common.moc"
