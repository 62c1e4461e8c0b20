#pragma once
// The server core, without widgets: it listens, accepts connections under the accept policy
// (connection limits, a descriptor reserve, pausing when descriptors run out), keeps one record
// per connection and the conversation of each open one, and lets the records of closed
// connections go, oldest first, past a bound. Observers (the main window, the program) are told
// what changed through signals; nothing here waits for them.

#include "mail_service/connection_list.h"
#include "mail_service/connection_slot.h"
#include "mail_service/delivery_conversation.h"
#include "mail_service/delivery_workers.h"
#include "mail_service/failure_penalty.h"
#include "mail_service/maildrop.h"
#include "mail_service/maildrop_locks.h"
#include "mail_service/slot_summary.h"
#include "socket_layer/close_reason.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class Authenticator;
class ServiceLog;
class modFalquor;

// How many connections are served at once; 0 means no limit.
struct ConnectionLimits {
    std::size_t total = 10000;
    std::size_t perAddress = 100;
    std::vector<IpNetwork> trusted;  // not held to perAddress
    // Connections from these begin with a PROXY header naming the client they carry.
    std::vector<IpNetwork> proxyFrom;
};

class MailService : public QObject {
    Q_OBJECT
public:
    // The platform reports waiting connections under this message.
    static constexpr unsigned kAcceptMessage = 520;
    // ... and connections that owe a PROXY header under this one.
    static constexpr unsigned kProxyHeaderMessage = 522;
    // Descriptors the program keeps for itself (message files, scans, the toolkit's own):
    // accepting stops before fewer than this many remain, or a quarter of a small table.
    static constexpr int kDescriptorReserve = 64;
    // Closed connections whose full records are kept; older ones keep only their summary.
    static constexpr std::size_t kClosedKeepingLists = 100;
    // Closed connections kept at all: the oldest leave first, so a server that runs for months
    // holds a bounded number of records. A window that shows them asks for more.
    static constexpr std::size_t kClosedKeptHeadless = 100;
    static constexpr std::size_t kClosedKeptWithWindow = 1'000'000;

    MailService(modFalquor& falquor, MaildropStore store, QObject* parent = nullptr);
    // Stops the service if it still runs.
    ~MailService() override;

    void SetLimits(ConnectionLimits limits) { limits_ = std::move(limits); }
    // Passwords and the TLS rule for every connection accepted from now on; where passwords
    // are real they are masked in the trace from now on too. Must outlive the service. Called
    // again after the authenticator's passwords change, so that the trace follows.
    void SetAuthenticator(Authenticator* auth);
    void SetClosedRecordsKept(std::size_t count);
    // One logged-in session per maildrop (--lock-maildrop), from now on.
    void SetLockMaildrops(bool lock) { locks_.SetEnabled(lock); }
    // Where the service tells the operator what happens (listeners, connections, logins,
    // maildrop errors); none: nowhere. Must outlive the service.
    void SetLog(ServiceLog* log) { log_ = log; }

    // Where to listen: `port` always, `tlsPort` for connections encrypted from their first byte
    // (-1: none), on `addresses` (none: every address, IPv6 and IPv4). Set before Start.
    void SetListening(int port, int tlsPort, std::vector<IpAddress> addresses = {});
    // Listening sockets opened before the service (modFalquor::OpenListeners; none for a port
    // that could not be had), taken on by Start instead of opening its own.
    void UseListeningSockets(std::vector<int> plain, std::vector<int> tls);
    // Mail in: LMTP and SMTP on these ports (-1: none, 0: any free port), on the addresses of
    // SetListening. Set before Start.
    void SetDeliveryListening(int lmtpPort, int smtpPort);
    // As UseListeningSockets, for the delivery listeners; `lmtpLocal` a listening socket of the
    // local kind (a path), taken on as it is (-1: none).
    void UseDeliveryListeningSockets(std::vector<int> lmtp, std::vector<int> smtp,
                                     int lmtpLocal = -1);
    // How deliveries are stored, and the recipient domains SMTP takes (lower case; empty: any).
    // From now on.
    void SetDeliveryRules(DeliveryRules rules) { deliveryWorkers_.SetRules(std::move(rules)); }
    void SetDeliveryDomains(std::vector<std::string> domains) {
        deliveryPolicy_.domains = std::move(domains);
    }
    // Starts the socket library and listens. Empty on success, otherwise the message to show
    // before the program ends ("Could not listen on Port  N").
    QString Start();
    // Closes the listeners and every connection; the records stay.
    void Stop();
    bool Running() const { return running_; }

    // What a listener serves.
    enum class Listener : std::uint8_t { Pop3, Pop3s, Lmtp, Smtp, LmtpLocal };
    // Takes one waiting connection from a listener, as its report would.
    void AcceptFrom(bool encrypted);
    void AcceptFrom(Listener listener);
    // Serves what connection `number` has waiting; false when it is not open.
    bool Serve(int number);

    int ListeningPort() const;
    int TlsListeningPort() const;
    int LmtpListeningPort() const;
    int SmtpListeningPort() const;
    int ListeningSocket() const { return ListenerOf(Listener::Pop3); }
    int LastAcceptedSocket() const { return lastSocket_; }

    // The selector's entries: connection numbers of the kept records, slot 0 first.
    ConnectionList& Connections() { return list_; }
    int RecordCount() const { return static_cast<int>(records_.size()); }
    bool IsOpen(int number) const { return connections_.count(number) != 0; }
    bool IsKept(int number) const { return RowOf(number) >= 0; }
    int RowOf(int number) const;
    int NumberAt(int row) const { return records_[static_cast<std::size_t>(row)].number; }
    // Connection `number`'s full record, or null once only its summary is kept, or none.
    ConnectionSlot* Slot(int number);
    const ConnectionSlot* Slot(int number) const;
    // The fields a kept record shows, from its full record or its summary.
    ConnectionSlot Fields(int number) const;

signals:
    // A connection was taken on and greeted.
    void Accepted(int number);
    // Requests of connection `number` were served (it was the last active one).
    void Served(int number);
    // A record changed without a request: its connection closed, or a reply went on.
    void Changed(int number);
    // The full record of `number` is about to be released to its summary, or the record
    // forgotten altogether: whoever shows it lets go of it now.
    void Releasing(int number, bool forgetting);
    // Something went wrong that the operator should know of; the service goes on.
    void Problem(const QString& text);

protected:
    bool event(QEvent* event) override;

private:
    struct Connection;
    struct Record {
        int number = 0;
        bool open = false;
        std::unique_ptr<ConnectionSlot> full;  // while open, and for a while after
        SlotSummary summary;                   // what is kept after that
    };

    // A connection waiting for its PROXY header: what has come of it, and who sent it.
    struct WaitingHeader {
        std::string bytes;
        IpAddress peer;
        int peerPort = 0;
        Listener kind = Listener::Pop3;
        std::uint64_t serial = 0;  // tells its deadline from a later connection's
    };
    struct Listening {
        int socket;
        Listener kind;
    };

    // Replaces the listening sockets of one kind.
    void SetListeners(Listener kind, std::vector<int> sockets);
    // The port asked for a kind of listener (-1: none).
    int PortAskedFor(Listener kind) const;
    // The first listening socket of a kind, or -1.
    int ListenerOf(Listener kind) const;
    static std::string_view ListenerName(Listener kind);
    void Accept(int listener, Listener kind);
    // Takes on an accepted connection from the client `peer` (the one a PROXY header named,
    // if any): the limits, its record, its conversation and greeting.
    void TakeOn(int socket, const IpAddress& peer, int peerPort, Listener kind,
                const WaitingHeader* proxy);
    void ReadHeader(int socket);
    // Closes a connection whose PROXY header did not come, and says why.
    void DropWaiting(int socket, std::string_view why);
    // The connection limit a new connection from `peer` would exceed, as the log names it;
    // empty when it exceeds none. `perAddress`: whether the client has an address to count by.
    std::string_view ExceededLimit(const IpAddress& peer, bool perAddress = true) const;
    void PauseAccepting();
    void ResumeAccepting();
    void AskForAccepts(long events);
    void OnClosed(int number, CloseReason why);
    void ForgetOldRecords();
    Record* Find(int number);

    modFalquor& falquor_;
    MaildropStore store_;
    Authenticator* auth_ = nullptr;
    ServiceLog* log_ = nullptr;
    ConnectionLimits limits_;
    int port_ = 110;
    int tlsPort_ = -1;
    std::vector<IpAddress> listenAddresses_;
    int lmtpPort_ = -1;
    int smtpPort_ = -1;
    std::vector<Listening> listeners_;
    bool listenersGiven_ = false;
    bool deliveryListenersGiven_ = false;
    bool running_ = false;
    bool acceptPaused_ = false;
    int descriptorLimit_ = -1;
    int lastSocket_ = 0;

    std::unordered_map<int, WaitingHeader> waitingHeaders_;
    std::uint64_t waitingSerial_ = 0;

    // The kept records in connection number order, slot 0 first.
    std::deque<Record> records_;
    ConnectionList list_;
    int nextNumber_ = 1;
    std::size_t closedKept_ = kClosedKeptHeadless;
    std::size_t closedRecords_ = 0;  // how many of records_ are closed
    std::deque<int> closedKeepingLists_;
    // Declared before the conversations, whose holds on maildrops it must outlive.
    MaildropLocks locks_;
    // The same: the delivery conversations' work runs there.
    DeliveryWorkers deliveryWorkers_{store_};
    DeliveryPolicy deliveryPolicy_;
    // The conversations of the open connections, by connection number.
    std::unordered_map<int, std::unique_ptr<Connection>> connections_;
};
