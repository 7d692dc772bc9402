#pragma once

#include <QByteArray>

namespace osk {

// Whether the private key is the one of the certificate (the first of a PEM chain). Qt takes a
// key that does not fit and fails every handshake afterwards without saying why; this is asked
// at start instead, so that the setting can be named.
bool keyFitsCertificate(const QByteArray& certificatePem, const QByteArray& keyPem);

} // namespace osk
