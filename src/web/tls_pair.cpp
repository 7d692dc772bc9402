#include "web/tls_pair.h"

#include <memory>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace osk {

namespace {
std::unique_ptr<BIO, decltype(&BIO_free)> memoryOf(const QByteArray& bytes) {
    return {BIO_new_mem_buf(bytes.constData(), int(bytes.size())), &BIO_free};
}
} // namespace

bool keyFitsCertificate(const QByteArray& certificatePem, const QByteArray& keyPem) {
    const auto certificateBytes = memoryOf(certificatePem);
    const auto keyBytes = memoryOf(keyPem);
    if (!certificateBytes || !keyBytes)
        return false;
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(certificateBytes.get(), nullptr, nullptr, nullptr), &X509_free);
    // No passphrase callback: an encrypted key is refused here as by Qt.
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(
            keyBytes.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr),
        &EVP_PKEY_free);
    return certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1;
}

} // namespace osk
