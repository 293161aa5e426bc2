// PeerChainCheck checks a TLS peer's certificate chain against the CA file that the server trusts,
// as the file is now: read again whenever it changes, so that a new CA takes effect without a
// restart. The server checks chains here, once the handshake is through, rather than in TLS's own
// check: a handshake that fails there ends unseen, holding its place among those in flight, while
// every handshake reaches this check and frees its place whatever the verdict.
#pragma once

#include <openssl/types.h>
#include <sys/types.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace transport {

class PeerChainCheck {
public:
    explicit PeerChainCheck(std::string caFile);

    // Why the peer's `certificate` is refused, with the certificates of `chain` (PEM texts; TLS
    // gives the chain only once its own check passed) to lead to the CA; empty when the CA
    // signed it for a TLS client and it is valid now, and when there is none: a peer without a
    // certificate is refused call by call.
    std::string Refusal(std::string_view certificate, std::string_view chain);

private:
    // The CA file's certificates, read again when the file changed; null when it can't be read.
    std::shared_ptr<X509_STORE> Trusted();

    const std::string m_caFile;
    std::mutex m_mutex;
    std::shared_ptr<X509_STORE> m_trusted;  // of the file as last read
    ino_t m_readInode = 0;
    timespec m_readTime{};
};

}  // namespace transport
