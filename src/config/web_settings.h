#pragma once

#include "common/result.h"
#include "config/profile_file.h"

#include <QHostAddress>
#include <QString>

namespace osk {

// Section "Web" of the settings file: the web administration, off until an administrator turns it
// on. With a certificate and its key the port speaks HTTPS only.
struct WebSettings {
    bool enabled = false;                          // "Enabled"
    QString address = QStringLiteral("127.0.0.1"); // "Address"
    int port = 8033;                               // "Port"
    QString certificate;                           // "Certificate", a PEM file
    QString key;                                   // "Key", the certificate's PEM private key
    QString metricsToken;                          // "MetricsToken": /metrics answers 404 without

    bool usesTls() const { return !certificate.isEmpty(); }
};

inline const QString kWebSection = QStringLiteral("Web");

// What the file says, each value that cannot be used kept as written so that the check below can
// name it; a missing value is its default.
WebSettings readWebSettings(const ProfileFile& file);

// A reason the web administration cannot be served, as it names its setting.
QString webSettingProblem(const QString& key, const QString& reason);

// Why the web administration cannot be served with these settings, naming the setting; fine when
// it can. A password sent in clear over the network is refused: an address other than the loopback
// needs the certificate and its key.
Status checkWebSettings(const WebSettings& settings);

} // namespace osk
