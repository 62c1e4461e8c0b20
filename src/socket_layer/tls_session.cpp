#include "socket_layer/tls_session.h"

#include "socket_layer/tls_error.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/ssl.h>

#include <algorithm>

namespace {

// OpenSSL is handed plaintext a record's worth at a time, so its own output buffer never
// holds more than one record before it is drained.
constexpr std::size_t kRecordPlaintext = 16 * 1024;
// A memory buffer that grew past this during a burst is replaced once the connection idles.
constexpr std::size_t kIdleBufferKeep = 4 * 1024;

BIO* NewMemory() {
    BIO* bio = BIO_new(BIO_s_mem());
    // Empty means "nothing yet", not end of stream.
    BIO_set_mem_eof_return(bio, -1);
    return bio;
}

bool Oversized(BIO* bio) {
    BUF_MEM* memory = nullptr;
    BIO_get_mem_ptr(bio, &memory);
    return memory != nullptr && memory->max > kIdleBufferKeep;
}

}  // namespace

TlsSession::TlsSession(ssl_ctx_st* context)
    : ssl_(SSL_new(context)), in_(NewMemory()), out_(NewMemory()) {
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
}

TlsSession::~TlsSession() {
    SSL_free(ssl_);  // frees both memory buffers
}

void TlsSession::Feed(const char* bytes, std::size_t count) {
    BIO_write(in_, bytes, static_cast<int>(count));
}

TlsSession::Status TlsSession::Fail(const char* fallback) {
    failure_ = tls::TakeErrorText(fallback);
    return Status::Failed;
}

TlsSession::Status TlsSession::Handshake() {
    if (!failure_.empty()) {
        return Status::Failed;
    }
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    Collect();
    if (result == 1) {
        established_ = true;
        return Status::Done;
    }
    if (SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ) {
        return Status::NeedInput;
    }
    return Fail("handshake failed");
}

TlsSession::Status TlsSession::Read(char* area, std::size_t capacity, std::size_t& count) {
    count = 0;
    if (!failure_.empty()) {
        return Status::Failed;
    }
    ERR_clear_error();
    const int result =
        SSL_read(ssl_, area, static_cast<int>(std::min<std::size_t>(capacity, 1 << 30)));
    Collect();  // a key update or ticket may want an answer
    if (result > 0) {
        count = static_cast<std::size_t>(result);
        return Status::Done;
    }
    switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
            return Status::NeedInput;
        case SSL_ERROR_ZERO_RETURN:
            return Status::PeerClosed;
        default:
            return Fail("read failed");
    }
}

TlsSession::Status TlsSession::Write(std::string_view plaintext, std::size_t& taken) {
    taken = 0;
    if (!failure_.empty()) {
        return Status::Failed;
    }
    ERR_clear_error();
    while (taken < plaintext.size()) {
        const std::size_t piece = std::min(plaintext.size() - taken, kRecordPlaintext);
        // A memory buffer takes everything, so a write is never partial.
        const int result = SSL_write(ssl_, plaintext.data() + taken, static_cast<int>(piece));
        Collect();
        if (result <= 0) {
            return Fail("write failed");
        }
        taken += static_cast<std::size_t>(result);
    }
    return Status::Done;
}

void TlsSession::Shutdown() {
    if (!established_ || shutDown_ || !failure_.empty()) {
        return;
    }
    shutDown_ = true;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    Collect();
    ERR_clear_error();
}

void TlsSession::Collect() {
    const std::size_t waiting = BIO_ctrl_pending(out_);
    if (waiting == 0) {
        return;
    }
    if (sent_ == pending_.size()) {
        pending_.clear();
        sent_ = 0;
    }
    const std::size_t old = pending_.size();
    pending_.resize(old + waiting);
    const int read = BIO_read(out_, pending_.data() + old, static_cast<int>(waiting));
    pending_.resize(old + static_cast<std::size_t>(std::max(read, 0)));
}

void TlsSession::Sent(std::size_t count) {
    sent_ += count;
    if (sent_ >= pending_.size()) {
        pending_.clear();
        sent_ = 0;
    }
}

void TlsSession::Trim() {
    if (HasPending()) {
        return;
    }
    std::string().swap(pending_);
    sent_ = 0;
    if (Oversized(out_)) {
        out_ = NewMemory();
        SSL_set0_wbio(ssl_, out_);  // frees the old one
    }
    if (BIO_ctrl_pending(in_) == 0 && Oversized(in_)) {
        in_ = NewMemory();
        SSL_set0_rbio(ssl_, in_);
    }
}

std::string TlsSession::Description() const {
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}
