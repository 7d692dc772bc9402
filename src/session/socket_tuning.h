#pragma once

class QTcpSocket;

namespace osk {

// Options for an accepted client socket: no Nagle delay on the short protocol messages, and a bound
// on how long the system keeps a connection whose peer vanished without closing it (power cut,
// cable pulled), which TCP alone would notice only after about fifteen minutes.
void tuneAcceptedSocket(QTcpSocket& socket, int vanishedPeerTimeoutMs);

} // namespace osk
