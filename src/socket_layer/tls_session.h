#pragma once
// One connection's TLS, between plaintext and ciphertext only: it never touches the socket.
// Received ciphertext is fed in, plaintext comes out of Read(); plaintext goes into Write()
// and the ciphertext to send waits in Pending() until the caller has sent it.

#include <cstddef>
#include <string>
#include <string_view>

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

class TlsSession {
public:
    enum class Status {
        Done,        // the step completed
        NeedInput,   // more ciphertext from the peer is needed first
        PeerClosed,  // the peer ended its side of TLS (close_notify)
        Failed,      // Failure() says why; nothing more can be read or written
    };

    // The server side of a connection whose first TLS byte has not arrived yet.
    explicit TlsSession(ssl_ctx_st* context);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    void Feed(const char* bytes, std::size_t count);
    // Takes the handshake as far as the fed bytes allow.
    Status Handshake();
    bool Established() const { return established_; }
    // Up to `capacity` bytes of plaintext; Done with `count` > 0, or why there is none.
    Status Read(char* area, std::size_t capacity, std::size_t& count);
    // Encrypts `plaintext` into Pending(); `taken` says how much of it was.
    Status Write(std::string_view plaintext, std::size_t& taken);
    // Queues the alert that ends the encrypted stream, once.
    void Shutdown();

    std::string_view Pending() const { return std::string_view(pending_).substr(sent_); }
    bool HasPending() const { return sent_ < pending_.size(); }
    void Sent(std::size_t count);
    // Hands back buffers an idle connection does not need; call when nothing is pending.
    void Trim();

    // Protocol version and cipher suite, e.g. "TLSv1.3 TLS_AES_256_GCM_SHA384".
    std::string Description() const;
    const std::string& Failure() const { return failure_; }

private:
    Status Fail(const char* fallback);
    void Collect();

    ssl_st* ssl_;
    bio_st* in_;   // ciphertext fed from the socket, owned by ssl_
    bio_st* out_;  // ciphertext written by ssl_, owned by it, drained into pending_
    std::string pending_;
    std::size_t sent_ = 0;
    bool established_ = false;
    bool shutDown_ = false;
    std::string failure_;
};
