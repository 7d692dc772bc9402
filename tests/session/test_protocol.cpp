#include "session/protocol.h"

#include <QTest>

using namespace osk::protocol;

namespace {
// What a message is and what its fields are, in one line.
QByteArray parsed(const QByteArray& message) {
    switch (classify(message)) {
    case MessageType::UserAvailable:
        return "available " + afterFirst(message, '=').toByteArray();
    case MessageType::User: {
        const UserFields fields = userFields(message);
        return "user " + fields.user + (fields.hasExtra ? " ~" + fields.extra : QByteArray());
    }
    case MessageType::Log:
        return "log " + logLine(message);
    case MessageType::Note: {
        const NoteFields fields = noteFields(message);
        return "note " + fields.note + " to " + fields.addressee;
    }
    case MessageType::Other:
        break;
    }
    return "other";
}
} // namespace

class TestProtocol final : public QObject {
    Q_OBJECT

private slots:
    void parsesMessages_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("expected");
        const QList<std::pair<const char*, const char*>> rows = {
            {"USER_AVAILABLE=ana~Compras", "available ana~Compras"},
            {"USER_AVAILABLE", "available USER_AVAILABLE"},
            {"USER=ana", "user ana"},
            {"USERX=a=b", "user a=b"},
            {"USERana", "user USERana"},
            {"USER=ana~Compras~x~y", "user ana ~Compras"},
            {"USER=ana~", "user ana ~"},
            {"LOG:Abre pedidos", "log Abre pedidos"},
            {"LOG|Abre pedidos", "log Abre pedidos"},
            {"LOG", "log "},
            {"NOLOG", "other"},
            {"NOTE:Llámame-ana", "note Llámame to ana"},
            {"NOTE:a-b-ana", "note a to b-ana"},
            {"NOTE:ana", "note  to ana"},
            {"NOTEx-ana", "note NOTEx to ana"},
            {"user=ana", "other"},
            {"CLOSE", "other"},
        };
        for (const auto& [message, expected] : rows)
            QTest::newRow(message) << QByteArray(message) << QByteArray(expected);
    }
    void parsesMessages() {
        QFETCH(QByteArray, message);
        QTEST(parsed(message), "expected");
    }

    void readsTheTagAtItsFirstBar_data() {
        QTest::addColumn<QByteArray>("tag");
        QTest::addColumn<QByteArray>("parts");
        QTest::newRow("empty") << QByteArray() << QByteArray("0 [] []");
        QTest::newRow("session only") << QByteArray("ALMACEN1") << QByteArray("0 [ALMACEN1] [ALMACEN1]");
        QTest::newRow("validated") << QByteArray("ALMACEN1|ana") << QByteArray("1 [ALMACEN1] [ana]");
        QTest::newRow("bar in the session") << QByteArray("A|B|ana") << QByteArray("1 [A] [B|ana]");
    }
    void readsTheTagAtItsFirstBar() {
        QFETCH(QByteArray, tag);
        QTEST(QByteArray::number(hasUser(tag)) + " [" + sessionPart(tag) + "] [" + userPart(tag) + "]",
              "parts");
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "test_protocol.moc"
