#include "socket_layer/tls_context.h"

#include "socket_layer/tls_error.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kTls12Ciphers[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

// An encrypted key would make OpenSSL ask for a passphrase on the terminal; the server has
// nobody to ask, so such a key fails to load instead.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

// Readability is checked first so that a missing or forbidden file is named as such, not as
// a parse failure.
bool Readable(const std::string& path, const char* what, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::string("cannot read TLS ") + what + " " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(file);
    return true;
}

// ALPN: a client that names no protocol is served; one that names protocols gets "pop3" if it
// offers it, and is refused otherwise (OpenSSL answers a fatal result with the
// no_application_protocol alert), so a connection meant for another service is never taken
// for POP3.
int SelectPop3(SSL*, const unsigned char** selected, unsigned char* selectedLength,
               const unsigned char* offered, unsigned int offeredLength, void*) {
    static constexpr unsigned char kPop3[] = {'p', 'o', 'p', '3'};
    for (unsigned int at = 0; at < offeredLength;) {
        const unsigned int length = offered[at];
        const unsigned char* name = offered + at + 1;
        if (at + 1 + length > offeredLength) {
            break;  // a malformed list offers nothing usable
        }
        if (length == sizeof kPop3 && std::memcmp(name, kPop3, sizeof kPop3) == 0) {
            *selected = name;
            *selectedLength = static_cast<unsigned char>(length);
            return SSL_TLSEXT_ERR_OK;
        }
        at += 1 + length;
    }
    return SSL_TLSEXT_ERR_ALERT_FATAL;
}

bool AddExtension(X509* certificate, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) {
        return false;
    }
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

}  // namespace

TlsContext::~TlsContext() {
    SSL_CTX_free(context_);
}

std::unique_ptr<TlsContext> TlsContext::Make(std::string& error) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        error = "cannot set up TLS: " + tls::TakeErrorText("no context");
        return nullptr;
    }
    std::unique_ptr<TlsContext> made(new TlsContext(context));
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
    // TLS 1.2 only with forward secrecy and authenticated encryption: no static RSA key
    // exchange, no CBC. TLS 1.3's own suites all qualify and are left as OpenSSL offers them.
    if (SSL_CTX_set_cipher_list(context, kTls12Ciphers) != 1) {
        error = "cannot set up TLS: " + tls::TakeErrorText("no usable cipher suite");
        return nullptr;
    }
    SSL_CTX_set_alpn_select_cb(context, SelectPop3, nullptr);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Idle connections give their record buffers back; only live traffic holds them.
    SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
    // Resumption works through tickets, which the client keeps; a server-side cache would
    // grow with every client ever seen.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    // A POP3 client opens one connection at a time: one ticket is all it can use.
    SSL_CTX_set_num_tickets(context, 1);
    SSL_CTX_set_default_passwd_cb(context, NoPassphrase);
    return made;
}

std::unique_ptr<TlsContext> TlsContext::FromFiles(const std::string& certificateFile,
                                                  const std::string& keyFile, std::string& error) {
    ERR_clear_error();
    if (!Readable(certificateFile, "certificate", error) || !Readable(keyFile, "key", error)) {
        return nullptr;
    }
    std::unique_ptr<TlsContext> made = Make(error);
    if (!made) {
        return nullptr;
    }
    SSL_CTX* context = made->context_;
    if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1) {
        error = "no usable PEM certificate in " + certificateFile + ": " +
                tls::TakeErrorText("unknown reason");
        return nullptr;
    }
    BIO* file = BIO_new_file(keyFile.c_str(), "rb");
    EVP_PKEY* key =
        file == nullptr ? nullptr : PEM_read_bio_PrivateKey(file, nullptr, NoPassphrase, nullptr);
    BIO_free(file);
    if (key == nullptr) {
        error = "no usable unencrypted PEM private key in " + keyFile + ": " +
                tls::TakeErrorText("unknown reason");
        return nullptr;
    }
    const bool matches = X509_check_private_key(SSL_CTX_get0_certificate(context), key) == 1;
    const bool used = matches && SSL_CTX_use_PrivateKey(context, key) == 1;
    EVP_PKEY_free(key);
    if (!matches) {
        ERR_clear_error();
        error = "the private key in " + keyFile + " does not match the certificate in " +
                certificateFile;
        return nullptr;
    }
    if (!used) {
        error = "cannot use the private key in " + keyFile + ": " +
                tls::TakeErrorText("unknown reason");
        return nullptr;
    }
    return made;
}

std::unique_ptr<TlsContext> TlsContext::SelfSigned(std::string& error) {
    ERR_clear_error();
    std::unique_ptr<TlsContext> made = Make(error);
    if (!made) {
        return nullptr;
    }
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    BIGNUM* serial = BN_new();
    bool ok = key != nullptr && certificate != nullptr && serial != nullptr &&
              X509_set_version(certificate, X509_VERSION_3) == 1 &&
              BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
              BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate)) != nullptr &&
              // An hour back, for clients whose clocks run a little behind.
              X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(certificate), 365L * 24 * 3600) != nullptr &&
              X509_set_pubkey(certificate, key) == 1;
    if (ok) {
        X509_NAME* name = X509_get_subject_name(certificate);
        ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                        0) == 1 &&
             X509_set_issuer_name(certificate, name) == 1 &&
             AddExtension(certificate, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1") &&
             AddExtension(certificate, NID_basic_constraints, "critical,CA:FALSE") &&
             AddExtension(certificate, NID_key_usage, "critical,digitalSignature") &&
             AddExtension(certificate, NID_ext_key_usage, "serverAuth") &&
             AddExtension(certificate, NID_subject_key_identifier, "hash") &&
             X509_sign(certificate, key, EVP_sha256()) > 0 &&
             SSL_CTX_use_certificate(made->context_, certificate) == 1 &&
             SSL_CTX_use_PrivateKey(made->context_, key) == 1;
    }
    BN_free(serial);
    X509_free(certificate);
    EVP_PKEY_free(key);
    if (!ok) {
        error =
            "cannot make a self-signed TLS certificate: " + tls::TakeErrorText("unknown reason");
        return nullptr;
    }
    return made;
}

std::string TlsContext::Fingerprint() const {
    X509* certificate = SSL_CTX_get0_certificate(context_);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) {
            text += ':';
        }
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}
