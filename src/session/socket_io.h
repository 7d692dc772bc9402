#pragma once

#include <QByteArrayView>

class QTcpSocket;

namespace osk {

// Options for an accepted client socket: no Nagle delay on the short protocol messages, and a bound
// on how long the system keeps a connection whose peer vanished without closing it (power cut,
// cable pulled), which TCP alone would notice only after about fifteen minutes.
void tuneAcceptedSocket(QTcpSocket& socket, int vanishedPeerTimeoutMs);

// Sends the bytes now. When nothing is queued they go straight to the system, sparing Qt's write
// buffer and the write notification it switches on and off around every write; whatever the system
// does not take at once is queued behind, so the order of messages is kept. False when the
// connection has failed.
bool sendNow(QTcpSocket& socket, QByteArrayView bytes);

} // namespace osk
