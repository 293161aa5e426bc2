#include "platform/transport/PeerChainCheck.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "platform/Registry.h"

namespace transport {

namespace {

struct FreeCertificates {
    void operator()(STACK_OF(X509) * certificates) const { sk_X509_pop_free(certificates, X509_free); }
};
using Certificates = std::unique_ptr<STACK_OF(X509), FreeCertificates>;

// The certificates of a PEM text, in its order.
Certificates ReadPem(std::string_view pem)
{
    Certificates certificates(sk_X509_new_null());
    BIO* text = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    while (X509* certificate = PEM_read_bio_X509(text, nullptr, nullptr, nullptr))
        sk_X509_push(certificates.get(), certificate);
    BIO_free(text);
    ERR_clear_error();  // the end of the text reads as an error
    return certificates;
}

}  // namespace

PeerChainCheck::PeerChainCheck(std::string caFile) : m_caFile(std::move(caFile)) {}

std::shared_ptr<X509_STORE> PeerChainCheck::Trusted()
{
    const std::lock_guard lock(m_mutex);
    struct stat file {};
    if (::stat(m_caFile.c_str(), &file) != 0)
        return nullptr;
    if (m_trusted == nullptr || file.st_ino != m_readInode || file.st_mtim.tv_sec != m_readTime.tv_sec || file.st_mtim.tv_nsec != m_readTime.tv_nsec) {
        const auto text = platform::ReadTextFile(m_caFile);
        if (!text)
            return nullptr;
        std::shared_ptr<X509_STORE> trusted(X509_STORE_new(), X509_STORE_free);
        const Certificates authorities = ReadPem(*text);
        for (int i = 0; i < sk_X509_num(authorities.get()); ++i)
            X509_STORE_add_cert(trusted.get(), sk_X509_value(authorities.get(), i));
        m_trusted = std::move(trusted);
        m_readInode = file.st_ino;
        m_readTime = file.st_mtim;
    }
    return m_trusted;
}

std::string PeerChainCheck::Refusal(std::string_view certificate, std::string_view chain)
{
    const Certificates peer = ReadPem(certificate);
    if (sk_X509_num(peer.get()) == 0)
        return "";
    // Checked outside the lock: the store is safe to share, and the handshakes of several threads
    // are checked at once.
    const std::shared_ptr<X509_STORE> trusted = Trusted();
    if (trusted == nullptr)
        return "can't read the CA file " + m_caFile;
    const Certificates intermediates = ReadPem(chain);
    X509_STORE_CTX* check = X509_STORE_CTX_new();
    const bool begun = check != nullptr && X509_STORE_CTX_init(check, trusted.get(), sk_X509_value(peer.get(), 0), intermediates.get()) == 1 &&
                       X509_STORE_CTX_set_purpose(check, X509_PURPOSE_SSL_CLIENT) == 1;
    const bool verified = begun && X509_verify_cert(check) == 1;
    std::string refusal = verified ? "" : begun ? X509_verify_cert_error_string(X509_STORE_CTX_get_error(check)) : "out of memory";
    X509_STORE_CTX_free(check);
    ERR_clear_error();
    return refusal;
}

}  // namespace transport
