#include "common/ansi_codec.h"

#include <QTest>

namespace osk {

class TestAnsiCodec final : public QObject {
    Q_OBJECT

private slots:
    void everyByteRoundTrips();
    void knownCharacters_data();
    void knownCharacters();
    void outsideCodePageBecomesQuestionMark_data();
    void outsideCodePageBecomesQuestionMark();
};

void TestAnsiCodec::everyByteRoundTrips() {
    QByteArray all;
    for (int byte = 0; byte < 256; ++byte) {
        all.append(static_cast<char>(byte));
    }
    const QString text = AnsiCodec::decode(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(AnsiCodec::encode(text), all);

    // Bijective: no two bytes decode to the same character.
    QSet<QChar> seen(text.begin(), text.end());
    QCOMPARE(seen.size(), 256);
}

void TestAnsiCodec::knownCharacters_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("ascii") << QByteArray("Servidor activo.") << QStringLiteral("Servidor activo.");
    QTest::newRow("nul and controls") << QByteArray("a\0\r\n", 4) << QString::fromUtf16(u"a\0\r\n", 4);
    QTest::newRow("spanish text") << QByteArray("Conexi\xF3n err\xF3nea. \xBF\xD1"
                                                "and\xFA?")
                                  << QStringLiteral("Conexión errónea. ¿Ñandú?");
    QTest::newRow("euro") << QByteArray("\x80") << QStringLiteral("€");
    QTest::newRow("quotes and dashes")
        << QByteArray("\x93\x94\x91\x92\x96\x97\x85") << QStringLiteral("“”‘’–—…");
    QTest::newRow("last of the high block") << QByteArray("\x9F") << QStringLiteral("Ÿ");
    QTest::newRow("no-break space") << QByteArray("\xA0") << QString(QChar(0x00A0));
    QTest::newRow("y diaeresis") << QByteArray("\xFF") << QStringLiteral("ÿ");
    QTest::newRow("undefined bytes as C1 controls")
        << QByteArray("\x81\x8D\x8F\x90\x9D") << QString::fromUtf16(u"\u0081\u008D\u008F\u0090\u009D");
}

void TestAnsiCodec::knownCharacters() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);

    QCOMPARE(AnsiCodec::decode(bytes), text);
    QCOMPARE(AnsiCodec::encode(text), bytes);
}

void TestAnsiCodec::outsideCodePageBecomesQuestionMark_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("cyrillic") << QStringLiteral("Жa") << QByteArray("?a");
    QTest::newRow("greek and cjk") << QStringLiteral("π漢") << QByteArray("??");
    // The C1 controls that stand for defined bytes are not in the code page: 0x80 is the euro sign.
    QTest::newRow("defined C1 control") << QString::fromUtf16(u"\u0080\u009F") << QByteArray("??");
    QTest::newRow("pair of surrogates is one character")
        << QString::fromUtf16(u"x\U0001F600y") << QByteArray("x?y");
    QTest::newRow("lone surrogate") << QString::fromUtf16(u"\xD800z", 2) << QByteArray("?z");
    QTest::newRow("empty") << QString() << QByteArray();
}

void TestAnsiCodec::outsideCodePageBecomesQuestionMark() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    QCOMPARE(AnsiCodec::encode(text), bytes);
}

} // namespace osk

QTEST_GUILESS_MAIN(osk::TestAnsiCodec)
#include "test_ansi_codec.moc"
