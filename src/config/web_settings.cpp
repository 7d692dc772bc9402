#include "config/web_settings.h"

#include <algorithm>

namespace osk {

namespace {
const QString kEnabledKey = QStringLiteral("Enabled");
const QString kAddressKey = QStringLiteral("Address");
const QString kPortKey = QStringLiteral("Port");
const QString kCertificateKey = QStringLiteral("Certificate");
const QString kKeyKey = QStringLiteral("Key");
const QString kMetricsTokenKey = QStringLiteral("MetricsToken");

bool isDigits(const QString& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar ch) { return ch >= u'0' && ch <= u'9'; });
}

} // namespace

WebSettings readWebSettings(const ProfileFile& file) {
    WebSettings settings;
    settings.enabled = file.read(kWebSection, kEnabledKey).trimmed() == QStringLiteral("1");
    if (const QString address = file.read(kWebSection, kAddressKey).trimmed(); !address.isEmpty())
        settings.address = address;
    if (const QString port = file.read(kWebSection, kPortKey).trimmed(); !port.isEmpty())
        settings.port = isDigits(port) && port.size() <= 5 ? port.toInt() : -1;
    settings.certificate = file.read(kWebSection, kCertificateKey).trimmed();
    settings.key = file.read(kWebSection, kKeyKey).trimmed();
    settings.metricsToken = file.read(kWebSection, kMetricsTokenKey).trimmed();
    return settings;
}

QString webSettingProblem(const QString& key, const QString& reason) {
    return QStringLiteral("Configuración [%1] %2: %3").arg(kWebSection, key, reason);
}

Status checkWebSettings(const WebSettings& settings) {
    const QHostAddress address(settings.address);
    if (address.isNull())
        return Status::failure(webSettingProblem(
            kAddressKey, QStringLiteral("[%1] no es una dirección IP.").arg(settings.address)));
    if (settings.port < 1 || settings.port > 65535)
        return Status::failure(
            webSettingProblem(kPortKey, QStringLiteral("debe ser un puerto de 1 a 65535.")));
    if (settings.certificate.isEmpty() != settings.key.isEmpty())
        return Status::failure(
            webSettingProblem(settings.certificate.isEmpty() ? kCertificateKey : kKeyKey,
                              QStringLiteral("hacen falta el certificado y su clave, los dos.")));
    if (!settings.usesTls() && !address.isLoopback())
        return Status::failure(webSettingProblem(
            kAddressKey, QStringLiteral("[%1] no es local: para servir en ella hacen falta Certificate "
                                        "y Key (HTTPS), o las contraseñas irían sin cifrar por la red.")
                             .arg(settings.address)));
    return {};
}

} // namespace osk
