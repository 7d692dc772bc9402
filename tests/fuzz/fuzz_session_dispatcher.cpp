// libFuzzer target: the session rules driven by scripts of connection events (the tests' own
// simulated host), with what must hold whatever the clients send checked after every event. The
// input is read as:
//   byte 0            the maximum of users, 0 to 8
//   then, repeatedly  one event byte (its value modulo 8) and the event's bytes: a pick of a
//                     client or row, and for an arrival its length and bytes.
// An event that lacks bytes ends the script.

#include "support/simulated_host.h"

#include <QCoreApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using osk::test::SessionScript;

void require(bool holds, const char* what, int slot = -1) {
    if (holds)
        return;
    std::fprintf(stderr, "invariant broken: %s (slot %d)\n", what, slot);
    std::abort();
}

// Messages the mutator would take long to spell.
const char* const kPrefixes[] = {
    "USER=", "USER_AVAILABLE=", "LOG:", "NOTE:", "CLOSE", "CHECK", "USER=a~", "NOTE:x-"};

// hadRow: the slots whose session had its users row at the last check. A "|" in a session text
// makes a Tag that looks validated, so only a row once seen can be missed.
void check(SessionScript& s, int maxUsers, const QString& verb, std::vector<bool>& hadRow) {
    osk::SessionDispatcher& d = s.dispatcher();
    require(d.slotCount() <= maxUsers + 1 && d.tag(0).isEmpty(), "slot 0 or the number of slots");
    require(d.CuentaConexiones() <= maxUsers, "more sessions than the maximum");
    std::vector<int> rowsOf(size_t(d.slotCount()), 0);
    hadRow.resize(size_t(d.slotCount()));
    for (int row = 0; row < s.users.count(); ++row) {
        const int slot = s.users.row(row).slot;
        require(slot > 0 && slot < d.slotCount() && d.tag(slot).contains('|'), "a row without its user",
                slot);
        require(++rowsOf[size_t(slot)] == 1, "two rows for one session", slot);
    }
    for (int slot = 1; slot < d.slotCount(); ++slot) {
        // A failed send may leave a validated Tag without its row, never a live one.
        if (hadRow[size_t(slot)] && d.tag(slot).contains('|') && s.alive.contains(slot))
            require(rowsOf[size_t(slot)] == 1, "a live validated session lost its row", slot);
        hadRow[size_t(slot)] = rowsOf[size_t(slot)] == 1 || (hadRow[size_t(slot)] && !d.tag(slot).isEmpty());
        if (verb == QLatin1String("sweep"))
            require(d.tag(slot).isEmpty() || s.alive.contains(slot), "a dead session outlived the sweep",
                    slot);
        if (verb == QLatin1String("stop"))
            require(d.tag(slot).isEmpty() && !s.open.contains(slot), "a session outlived the stop", slot);
    }
    if (verb == QLatin1String("sweep"))
        require(s.gauge == s.users.count(), "the gauge behind the list after the sweep");
}

// What each event byte (modulo 8) stands for.
const char* const kVerbs[] = {"connect", "send", "send", "vanish", "sweep", "disconnect", "follow", "stop"};

void run(const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    const int maxUsers = data[0] % 9;
    SessionScript s;
    s.event(QStringLiteral("max %1").arg(maxUsers));
    int clients = 0;
    std::vector<bool> hadRow;
    size_t at = 1;
    const auto take = [&](uint8_t& byte) {
        return at < size ? (byte = data[at++], true) : false;
    };
    for (uint8_t event = 0, pick = 0, length = 0; take(event);) {
        const int kind = event % 8;
        if ((kind != 4 && kind != 7 && !take(pick)) || ((kind == 1 || kind == 2) && !take(length)))
            return;
        const QString client = QStringLiteral(" c%1").arg(clients ? pick % clients : 0);
        QString script = QLatin1String(kVerbs[kind]);
        if (kind == 0) { // a new computer, or (odd pick) one that already has a client
            script +=
                QStringLiteral(" c%1 10.0.0.%2").arg(clients).arg(pick % 2 ? pick % 4 : clients % 250 + 10);
            ++clients;
        } else if (kind == 1 || kind == 2) {
            QByteArray message = kind == 2 ? kPrefixes[pick % std::size(kPrefixes)] : "";
            const size_t count = std::min<size_t>(length % 48, size - at);
            message.append(reinterpret_cast<const char*>(data + at), qsizetype(count));
            at += count;
            script += client + QLatin1Char(' ') + QString::fromLatin1(message.toPercentEncoding());
        } else if (kind == 3) {
            script += client;
        } else if (kind == 5 || kind == 6) {
            script += QStringLiteral(" %1").arg(pick % (s.users.count() + 1));
        }
        s.event(script);
        s.next();
        check(s, maxUsers, script.section(QLatin1Char(' '), 0, 0), hadRow);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    run(data, size);
    // Closed tracking logs are deleted later; without an event loop they would pile up.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
