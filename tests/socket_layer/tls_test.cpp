#include "platform/winsock.h"
#include "socket_layer/flow_limits.h"
#include "socket_layer/mod_falquor.h"
#include "socket_layer/tls_context.h"
#include "support/accepted_socket.h"
#include "support/loopback.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <memory>

using namespace testing_support;

namespace {

std::unique_ptr<TlsContext> MakeServerContext() {
    std::string error;
    auto context = TlsContext::SelfSigned(error);
    EXPECT_TRUE(context) << error;
    return context;
}

std::string CertificatePem(const TlsContext& context) {
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(out, SSL_CTX_get0_certificate(context.Handle()));
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(out);
    return pem;
}

// A client's first flight, made without a socket.
std::string ClientHello() {
    SSL_CTX* clientContext = SSL_CTX_new(TLS_client_method());
    SSL* client = SSL_new(clientContext);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(client, in, out);
    SSL_connect(client);
    std::string hello(static_cast<std::size_t>(BIO_ctrl_pending(out)), '\0');
    BIO_read(out, hello.data(), static_cast<int>(hello.size()));
    SSL_free(client);
    SSL_CTX_free(clientContext);
    ERR_clear_error();
    return hello;
}

// A socket layer with TLS and one accepted connection, as in the plain socket-layer tests.
class TlsLink {
public:
    explicit TlsLink(int receiveBuffer = 0) {
        auto context = MakeServerContext();
        certificatePem = CertificatePem(*context);
        falquor.SetTls(std::move(context));
        socket = AcceptedSocket(falquor, listener, client, receiveBuffer);
        falquor.Attach(socket, ConnectionHooks{owner.get(), [this] { ++ready; },
                                               [this](CloseReason why) {
                                                   closed = true;
                                                   closedBy = why;
                                               }});
        EXPECT_TRUE(falquor.Watch(socket));
    }
    ~TlsLink() { platform::WSACleanup(); }

    bool Receive(std::string& line) { return falquor.ReceiveFromSocket(socket, line); }
    std::string Trace() { return falquor.trace().Contents(); }
    std::string Event(std::string_view what) {
        return "[" + std::to_string(socket) + "] >" + std::string(what);
    }
    int Unread() const {
        int n = 0;
        ::ioctl(socket, FIONREAD, &n);
        return n;
    }

    modFalquor falquor;
    std::string certificatePem;
    std::unique_ptr<QObject> owner = std::make_unique<QObject>();
    LoopbackClient client;
    int listener = 0;
    int socket = -1;
    int ready = 0;
    bool closed = false;
    CloseReason closedBy = CloseReason::Unknown;
};

// A TLS client over the loopback client's socket that trusts only the server's certificate
// and checks its name. Every wait pumps the server's event loop.
class TlsClient {
public:
    TlsClient(int fd, const std::string& certificatePem)
        : context_(SSL_CTX_new(TLS_client_method())) {
        BIO* pem = BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size()));
        X509* trusted = PEM_read_bio_X509(pem, nullptr, nullptr, nullptr);
        BIO_free(pem);
        X509_STORE_add_cert(SSL_CTX_get_cert_store(context_), trusted);
        X509_free(trusted);
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        ssl_ = SSL_new(context_);
        SSL_set1_host(ssl_, "localhost");
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        SSL_set_fd(ssl_, fd);
        SSL_set_connect_state(ssl_);
    }
    ~TlsClient() {
        SSL_free(ssl_);
        SSL_CTX_free(context_);
    }

    // True once the handshake is done and the certificate verified.
    bool Handshake() {
        bool failed = false;
        const bool done = PumpUntil([&] {
            const int result = SSL_do_handshake(ssl_);
            if (result == 1) {
                return true;
            }
            const int error = SSL_get_error(ssl_, result);
            failed = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
            return failed;
        });
        ERR_clear_error();
        return done && !failed && SSL_get_verify_result(ssl_) == X509_V_OK;
    }
    void Send(std::string_view bytes) {
        PumpUntil([&] {
            const int n = SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            }
            return bytes.empty() || (n <= 0 && SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ &&
                                     SSL_get_error(ssl_, n) != SSL_ERROR_WANT_WRITE);
        });
    }
    // Reads plaintext until it holds `pattern`; everything up to and including it, or "".
    std::string ReadUntil(std::string_view pattern, std::chrono::milliseconds deadline = 20s) {
        std::size_t at = std::string::npos;
        PumpUntil(
            [&] {
                Take();
                at = received_.find(pattern);
                return at != std::string::npos || ended_;
            },
            deadline);
        if (at == std::string::npos) {
            return {};
        }
        std::string got = received_.substr(0, at + pattern.size());
        received_.erase(0, at + pattern.size());
        return got;
    }
    // A little plaintext, if any has arrived.
    std::size_t TakeSome(std::size_t most) {
        char buffer[4096];
        const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min(most, sizeof buffer)));
        ERR_clear_error();
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    bool WaitForEnd() {
        return PumpUntil([&] {
            Take();
            return ended_;
        });
    }
    std::string& received() { return received_; }

private:
    void Take() {
        char buffer[16 * 1024];
        while (true) {
            const int n = SSL_read(ssl_, buffer, sizeof buffer);
            if (n > 0) {
                received_.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            const int error = SSL_get_error(ssl_, n);
            ended_ = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
            ERR_clear_error();
            return;
        }
    }

    SSL_CTX* context_;
    SSL* ssl_ = nullptr;
    std::string received_;
    bool ended_ = false;
};

}  // namespace

TEST(Tls, StlsSendsTheOkInClearDropsWhatFollowedItAndThenSpeaksTls) {
    TlsLink link;
    EXPECT_TRUE(link.falquor.TlsConfigured());
    EXPECT_FALSE(link.falquor.Encrypted(link.socket));

    link.client.Send("STLS\r\nUSER evil\r\n");
    std::string line;
    ASSERT_TRUE(PumpUntil([&] { return link.Receive(line); }));
    ASSERT_EQ(line, "STLS");
    link.falquor.SendToSocket(link.socket, "+OK");
    link.falquor.StartTls(link.socket);
    EXPECT_TRUE(link.falquor.Encrypted(link.socket));
    EXPECT_EQ(link.client.ReadUntil("\r\n"), "+OK\r\n");
    // The injected line is never served, in clear or later.
    EXPECT_FALSE(link.Receive(line));
    EXPECT_NE(link.Trace().find(link.Event("TLS: dropped 11 bytes")), std::string::npos);

    TlsClient tls(link.client.fd(), link.certificatePem);
    ASSERT_TRUE(tls.Handshake());
    tls.Send("USER good\r\nNOOP\r\n");
    ASSERT_TRUE(PumpUntil([&] { return link.Receive(line); }));
    EXPECT_EQ(line, "USER good");
    EXPECT_NE(link.Trace().find(link.Event("TLS handshake: TLSv1.3 TLS_")), std::string::npos);
    ASSERT_TRUE(link.Receive(line));
    EXPECT_EQ(line, "NOOP");
    link.falquor.SendToSocket(link.socket, "+OK hello");
    EXPECT_EQ(tls.ReadUntil("\r\n"), "+OK hello\r\n");
    // Received lines are traced in clear, like any connection's.
    EXPECT_NE(link.Trace().find(" >USER good<"), std::string::npos);
    EXPECT_EQ(link.Trace().find("USER evil"), std::string::npos);

    // Closing sends the end of the TLS stream, then closes.
    link.falquor.SendToSocket(link.socket, "+OK bye");
    link.falquor.CloseWhenFlushed(link.socket);
    EXPECT_EQ(tls.ReadUntil("\r\n"), "+OK bye\r\n");
    EXPECT_TRUE(tls.WaitForEnd());
    link.client.Close();
    EXPECT_TRUE(PumpUntil([&] { return link.closed; }));
}

TEST(Tls, ImplicitTlsHoldsTheGreetingForTheHandshakeAndBacksUpLikePlainOutput) {
    TlsLink link(4096);
    link.falquor.StartTls(link.socket);
    link.falquor.SendToSocket(link.socket, "+OK greeting");
    PumpFor(100ms);
    EXPECT_EQ(link.client.received(), "");
    TlsClient tls(link.client.fd(), link.certificatePem);
    ASSERT_TRUE(tls.Handshake());
    EXPECT_EQ(tls.ReadUntil("\r\n"), "+OK greeting\r\n");

    // Many lines and a piece without CR LF: congested by plaintext queued, every byte exact.
    std::string expected;
    for (int i = 0; i < 40000; ++i) {
        const std::string text = "line " + std::to_string(i) + std::string(i % 70, '.');
        link.falquor.SendToSocket(link.socket, text);
        expected += text + "\r\n";
    }
    link.falquor.SendPart(link.socket, "raw");
    expected += "raw";
    EXPECT_TRUE(link.falquor.Congested(link.socket));
    // While congested, what the client sends stays unread in the socket.
    tls.Send("STAT\r\n");
    ASSERT_TRUE(PumpUntil([&] { return link.Unread() > 0; }));
    std::string line;
    EXPECT_FALSE(link.Receive(line));
    const int unread = link.Unread();
    for (int pass = 0; pass < 20; ++pass) {
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(link.Unread(), unread);
    EXPECT_EQ(link.ready, 0);

    // A slow reader takes a little now and then; the connection stays open.
    link.falquor.SetIdleTimeout(2s);
    std::size_t slow = 0;
    for (int step = 0; step < 20; ++step) {
        PumpFor(20ms);
        slow += tls.TakeSome(1024);
    }
    EXPECT_GT(slow, 0u);
    EXPECT_FALSE(link.closed);
    const std::string got = tls.ReadUntil("raw", 60s);
    EXPECT_EQ(got.size() + slow, expected.size());
    EXPECT_TRUE(got == expected.substr(slow)) << "bytes differ";
    ASSERT_TRUE(PumpUntil([&] { return !link.falquor.Congested(link.socket); }));
    EXPECT_GE(link.ready, 1);
    ASSERT_TRUE(PumpUntil([&] { return link.Receive(line); }));
    EXPECT_EQ(line, "STAT");
}

TEST(Tls, FailedAndStalledHandshakesCloseTheConnection) {
    {
        TlsLink link;
        link.falquor.StartTls(link.socket);
        link.falquor.SendToSocket(link.socket, "+OK greeting");
        link.client.Send("USER x\r\n");
        EXPECT_TRUE(link.client.WaitForClose());
        EXPECT_TRUE(PumpUntil([&] { return link.closed; }));
        EXPECT_EQ(link.client.received().find("+OK"), std::string::npos);
        EXPECT_NE(link.Trace().find(link.Event("TLS handshake failed: error:")), std::string::npos);
        EXPECT_EQ(link.closedBy, CloseReason::TlsFailure);
    }
    {
        // A client that begins the handshake and stops: the handshake bytes are no progress.
        TlsLink link;
        link.falquor.SetIdleTimeout(300ms);
        link.falquor.StartTls(link.socket);
        link.falquor.SendToSocket(link.socket, "+OK greeting");
        link.client.Send(std::string("\x16\x03\x01\x00\x80\x01", 6));
        EXPECT_TRUE(link.client.WaitForClose(10s));
        EXPECT_TRUE(PumpUntil([&] { return link.closed; }));
        EXPECT_NE(link.Trace().find(link.Event("closed: idle timeout in the TLS handshake")),
                  std::string::npos);
        EXPECT_EQ(link.closedBy, CloseReason::TlsHandshakeTimeout);
    }
}

TEST(Tls, TheHandshakeLimitCountsFromItsStartAndEndsWithIt) {
    {
        // The server's answer to the hello is progress; the handshake still ends on time.
        TlsLink link;
        link.falquor.SetHandshakeLimit(300ms);
        link.falquor.StartTls(link.socket);
        link.falquor.SendToSocket(link.socket, "+OK greeting");
        link.client.Send(ClientHello());
        EXPECT_TRUE(link.client.WaitForClose(10s));
        EXPECT_TRUE(PumpUntil([&] { return link.closed; }));
        EXPECT_EQ(link.client.received().substr(0, 1), "\x16");
        EXPECT_NE(link.Trace().find(link.Event("closed: TLS handshake timeout")),
                  std::string::npos);
        EXPECT_EQ(link.closedBy, CloseReason::TlsHandshakeTimeout);
    }
    {
        // A finished handshake leaves the idle timeout alone in charge.
        TlsLink link;
        link.falquor.SetHandshakeLimit(300ms);
        link.falquor.StartTls(link.socket);
        link.falquor.SendToSocket(link.socket, "+OK greeting");
        TlsClient tls(link.client.fd(), link.certificatePem);
        ASSERT_TRUE(tls.Handshake());
        EXPECT_EQ(tls.ReadUntil("\r\n"), "+OK greeting\r\n");
        PumpFor(600ms);
        EXPECT_FALSE(link.closed);
        link.falquor.SendToSocket(link.socket, "+OK still here");
        EXPECT_EQ(tls.ReadUntil("\r\n"), "+OK still here\r\n");
    }
}

TEST(Tls, OutputQueuedBeforeTlsLeavesFirstEvenWhenTheHandshakeStartsEarly) {
    TlsLink link(4096);
    const std::string hello = ClientHello();
    ASSERT_FALSE(hello.empty());

    // A long clear reply, not long enough to stop reading, is still queued when the hello
    // arrives and is answered.
    const std::string clear(flow::kHighWater / 2, 'c');
    link.falquor.SendPart(link.socket, clear);
    link.falquor.SendToSocket(link.socket, "+OK");
    link.falquor.StartTls(link.socket);
    link.client.Send(hello);
    ASSERT_TRUE(PumpUntil([&] { return link.Unread() == 0; }));
    EXPECT_GT(link.falquor.PendingOutput(link.socket), 0u);
    const std::string got = link.client.ReadUntil("+OK\r\n", 60s);
    EXPECT_EQ(got.size(), clear.size() + 5);
    EXPECT_TRUE(got == clear + "+OK\r\n");
    ASSERT_TRUE(PumpUntil([&] {
        link.client.ReadUntil("\x16", 10ms);
        return !link.client.received().empty() || link.closed;
    }));
    // The server's hello follows as a TLS handshake record.
    EXPECT_EQ(link.client.received().substr(0, 2), std::string("\x03\x03", 2));
}
