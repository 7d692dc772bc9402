#pragma once

#include "common/ansi_codec.h"
#include "core/server_core.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/served_client.h"
#include "support/snapshot.h"
#include "support/temp_program_folder.h"
#include "support/test_io.h"

#include <QItemSelectionModel>
#include <map>
#include <memory>
#include <vector>

namespace osk::test {

// A model's rows, their columns joined by a blank and a selected row marked "*"; "none" if empty.
inline QString rowsOf(const QAbstractItemModel* model, const QItemSelectionModel* selected = nullptr) {
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row) {
        QStringList columns;
        for (int column = 0; column < model->columnCount(); ++column)
            columns << model->index(row, column).data().toString();
        texts << (selected && selected->isRowSelected(row, {}) ? QStringLiteral("*") : QString()) +
                     columns.join(QLatin1Char(' '));
    }
    return texts.isEmpty() ? QStringLiteral("none") : texts.join(QStringLiteral(" | "));
}

// What clients, the operator and the event log saw of a scenario on a real ServerCore: its
// clients are real, on loopback from several computers, and what changes from one run or computer
// to the next (ports, the temporary folder) is shown as a name.
class Scenario {
public:
    // A core on the settings `extra` after the port line; false if its engine does not open.
    bool makeCore(const QByteArray& extra) {
        if (port == 0 || !writeFileBytes(folder.file(kSettingsFileName), portSettings(port) + extra))
            return false;
        core = std::make_unique<ServerCore>(folder.path(), clock, op);
        // The sweep runs when the script says so.
        core->session().tmrMain().setInterval(24 * 3600 * 1000);
        return core->AbreConexion().ok();
    }
    // The steps scenarios share; false for any other.
    bool runShared(const QString& step) {
        const QStringList word = step.split(QLatin1Char(' '));
        Client* client = clients.count(word[0]) ? clients[word[0]].get() : nullptr;
        if (word[0] == QLatin1String("serve") && word.size() == 4)
            clients[word[1]] =
                servedClient(core->session(), port, word[2], word[3].toLatin1(), word[1].toLatin1());
        else if (word.value(1) == QLatin1String("sends") && client)
            client->send(AnsiCodec::encode(step.section(QLatin1Char(' '), 2)));
        else if (word[0] == QLatin1String("clock"))
            clock.advanceSeconds(word.value(1).toInt());
        else if (word[0] == QLatin1String("sweep"))
            core->session().sweep();
        else
            return false;
        return true;
    }
    // The clients' connections; the event-log lines, what the operator was shown and the clients'
    // replies since the last step.
    QStringList sharedSnapshot() const {
        QStringList open, logged, replies, lines;
        for (const auto& [name, client] : clients) {
            open << name + (!client ? QStringLiteral(" not served")
                            : client->socket.state() == QAbstractSocket::ConnectedState
                                ? QStringLiteral(" open")
                                : QStringLiteral(" closed"));
            // Without the sweep's probes, which its timer also sends when it will.
            const QString got =
                AnsiCodec::decode(client ? client->received : QByteArray()).remove(QStringLiteral("CHECK"));
            if (!got.isEmpty())
                replies << name + QLatin1Char(' ') + got;
        }
        const auto& entries = core->eventLog().entries();
        for (size_t i = m_logFrom; i < entries.size(); ++i)
            logged << QStringLiteral("%1 %2").arg(int(entries[i].kind)).arg(entries[i].text);
        for (const QString& shown : op.shown.mid(m_shownFrom))
            lines << QStringLiteral("> ") + QString(shown)
                                                .remove(QLatin1Char('\r'))
                                                .replace(QLatin1Char('\n'), QStringLiteral(" | "));
        for (const auto& [key, items] :
             {std::pair{"clients: ", open}, {"> log: ", logged}, {"> replies: ", replies}})
            if (!items.isEmpty())
                lines << QLatin1String(key) + items.join(QStringLiteral(" | "));
        return lines;
    }
    // What changes from one run or computer to the next, as its name.
    QStringList masked(QStringList lines) const {
        for (const auto& [value, name] : masks)
            lines.replaceInStrings(value, name);
        return lines;
    }
    // The next step's lines and replies start here.
    void next() {
        m_logFrom = core->eventLog().entries().size();
        m_shownFrom = op.shown.size();
        for (auto& [name, client] : clients)
            if (client)
                client->take();
    }

    TempProgramFolder folder;
    FakeClock clock;
    ScriptedOperator op;
    quint16 port = freePort();
    std::vector<std::pair<QString, QString>> masks{{folder.path(), QStringLiteral("<folder>")},
                                                   {QString::number(port), QStringLiteral("<port>")}};
    std::unique_ptr<ServerCore> core;
    std::map<QString, std::unique_ptr<Client>> clients;

private:
    size_t m_logFrom = 0;
    qsizetype m_shownFrom = 0;
};

} // namespace osk::test
