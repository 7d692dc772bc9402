#include "session/protocol.h"

#include <QTest>

using namespace osk::protocol;

Q_DECLARE_METATYPE(osk::protocol::MessageType)

class TestProtocol final : public QObject {
    Q_OBJECT

private slots:
    void classifiesByFirstMatchingPrefix_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<MessageType>("type");
        QTest::newRow("availability") << QByteArray("USER_AVAILABLE=ana") << MessageType::UserAvailable;
        QTest::newRow("availability before user")
            << QByteArray("USER_AVAILABLEX") << MessageType::UserAvailable;
        QTest::newRow("user") << QByteArray("USER=ana") << MessageType::User;
        QTest::newRow("any user prefix") << QByteArray("USERX=ana") << MessageType::User;
        QTest::newRow("log") << QByteArray("LOG:Abre pedidos") << MessageType::Log;
        QTest::newRow("nolog is no log") << QByteArray("NOLOG") << MessageType::Other;
        QTest::newRow("note") << QByteArray("NOTE:hola-ana") << MessageType::Note;
        QTest::newRow("close") << QByteArray("CLOSE") << MessageType::Other;
        QTest::newRow("lower case") << QByteArray("user=ana") << MessageType::Other;
        QTest::newRow("leading blank") << QByteArray(" USER=ana") << MessageType::Other;
        QTest::newRow("empty") << QByteArray() << MessageType::Other;
    }
    void classifiesByFirstMatchingPrefix() {
        QFETCH(QByteArray, message);
        QFETCH(MessageType, type);
        QCOMPARE(classify(message), type);
    }

    void splitsUserAndExtra_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("extra");
        QTest::addColumn<bool>("hasExtra");
        QTest::newRow("plain") << QByteArray("USER=ana") << QByteArray("ana") << QByteArray() << false;
        QTest::newRow("extra") << QByteArray("USER=ana~Compras") << QByteArray("ana") << QByteArray("Compras")
                               << true;
        QTest::newRow("second tilde drops the rest")
            << QByteArray("USER=ana~Compras~x~y") << QByteArray("ana") << QByteArray("Compras") << true;
        QTest::newRow("empty extra") << QByteArray("USER=ana~") << QByteArray("ana") << QByteArray() << true;
        QTest::newRow("no equals takes everything")
            << QByteArray("USERana") << QByteArray("USERana") << QByteArray() << false;
        QTest::newRow("only the first equals")
            << QByteArray("USER=a=b") << QByteArray("a=b") << QByteArray() << false;
    }
    void splitsUserAndExtra() {
        QFETCH(QByteArray, message);
        const UserFields fields = userFields(message);
        QTEST(fields.user, "user");
        QTEST(fields.extra, "extra");
        QTEST(fields.hasExtra, "hasExtra");
    }

    void availabilityQuestionIsNotSplitAtTilde() {
        QCOMPARE(afterFirst("USER_AVAILABLE=ana~Compras", '='), QByteArrayView("ana~Compras"));
        QCOMPARE(afterFirst("USER_AVAILABLE", '='), QByteArrayView("USER_AVAILABLE"));
    }

    void takesTheActivityLineFromTheFifthCharacter_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("colon") << QByteArray("LOG:Abre pedidos") << QByteArray("Abre pedidos");
        QTest::newRow("bar") << QByteArray("LOG|Abre pedidos") << QByteArray("Abre pedidos");
        QTest::newRow("separator only") << QByteArray("LOG:") << QByteArray();
        QTest::newRow("shorter than five") << QByteArray("LOG") << QByteArray();
    }
    void takesTheActivityLineFromTheFifthCharacter() {
        QFETCH(QByteArray, message);
        QTEST(logLine(message), "line");
    }

    void splitsNotes_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("note");
        QTest::addColumn<QByteArray>("addressee");
        QTest::newRow("plain") << QByteArray("NOTE:Llámame-ana") << QByteArray("Llámame")
                               << QByteArray("ana");
        QTest::newRow("first dash splits")
            << QByteArray("NOTE:a-b-ana") << QByteArray("a") << QByteArray("b-ana");
        QTest::newRow("no dash") << QByteArray("NOTE:ana") << QByteArray() << QByteArray("ana");
        QTest::newRow("no colon takes all")
            << QByteArray("NOTEx-ana") << QByteArray("NOTEx") << QByteArray("ana");
        QTest::newRow("empty addressee") << QByteArray("NOTE:hola-") << QByteArray("hola") << QByteArray();
        QTest::newRow("binary") << QByteArray("NOTE:\0\x80\xff-ana", 12) << QByteArray("\0\x80\xff", 3)
                                << QByteArray("ana");
    }
    void splitsNotes() {
        QFETCH(QByteArray, message);
        const NoteFields fields = noteFields(message);
        QTEST(fields.note, "note");
        QTEST(fields.addressee, "addressee");
    }

    void readsTheTagAtItsFirstBar_data() {
        QTest::addColumn<QByteArray>("tag");
        QTest::addColumn<bool>("validated");
        QTest::addColumn<QByteArray>("session");
        QTest::addColumn<QByteArray>("user");
        QTest::newRow("empty") << QByteArray() << false << QByteArray() << QByteArray();
        QTest::newRow("session only")
            << QByteArray("ALMACEN1") << false << QByteArray("ALMACEN1") << QByteArray("ALMACEN1");
        QTest::newRow("validated") << QByteArray("ALMACEN1|ana") << true << QByteArray("ALMACEN1")
                                   << QByteArray("ana");
        QTest::newRow("no session") << QByteArray("|ana") << true << QByteArray() << QByteArray("ana");
        QTest::newRow("bar in session")
            << QByteArray("A|B|ana") << true << QByteArray("A") << QByteArray("B|ana");
    }
    void readsTheTagAtItsFirstBar() {
        QFETCH(QByteArray, tag);
        QTEST(hasUser(tag), "validated");
        QTEST(sessionPart(tag), "session");
        QTEST(userPart(tag), "user");
    }

    void joinsTagsWithOneBar() { QCOMPARE(joinTag("ALMACEN1", "ana"), QByteArray("ALMACEN1|ana")); }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "test_protocol.moc"
