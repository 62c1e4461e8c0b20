#pragma once
// The server's TLS settings and certificate, shared by every encrypted connection: TLS 1.2
// (ECDHE with AES-GCM or ChaCha20-Poly1305 only) and 1.3, ALPN "pop3" or none, a certificate
// and key from PEM files or one made at start for localhost.

#include <memory>
#include <string>

struct ssl_ctx_st;

class TlsContext {
public:
    // Loads a certificate chain and its private key; null with `error` set when a file cannot
    // be read or parsed or the key does not belong to the certificate.
    static std::unique_ptr<TlsContext> FromFiles(const std::string& certificateFile,
                                                 const std::string& keyFile, std::string& error);
    // Makes an ECDSA P-256 key and a certificate for localhost (DNS:localhost, 127.0.0.1, ::1)
    // that lives only in memory.
    static std::unique_ptr<TlsContext> SelfSigned(std::string& error);

    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    ssl_ctx_st* Handle() const { return context_; }
    // The SHA-256 digest of the served certificate as upper-case hex pairs joined by colons.
    std::string Fingerprint() const;

private:
    explicit TlsContext(ssl_ctx_st* context) : context_(context) {}
    static std::unique_ptr<TlsContext> Make(std::string& error);

    ssl_ctx_st* context_;
};
