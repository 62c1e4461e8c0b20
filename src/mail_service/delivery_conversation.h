#pragma once
// Drives one connection's LMTP or SMTP conversation: a mail receiver that stores what it is
// given for local users and never relays. Commands are answered in order, pipelined or not;
// a recipient check and the storing of a message run on the delivery workers, and the
// conversation takes nothing more from its connection until their results are answered.
// A message is handed to its worker as it arrives, never held whole.

#include "mail_service/connection_slot.h"
#include "mail_service/delivery_workers.h"
#include "mail_service/pop3_channel.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Authenticator;
class ServiceLog;

enum class DeliveryProtocol : std::uint8_t { Lmtp, Smtp };

// What every delivery conversation shares, set by the service.
struct DeliveryPolicy {
    // SMTP only: the recipient domains taken, lower case; empty: any.
    std::vector<std::string> domains;
    // How the server names itself in its greeting and its hello reply.
    std::string hostName = "localhost";
};

class DeliveryConversation {
public:
    // The most recipients one message may have.
    static constexpr std::size_t kMostRecipients = 100;
    // The longest command line taken, without its CR LF; message lines may be much longer.
    static constexpr std::size_t kLongestCommand = 2048;

    // `resumeLater` must arrange one more call of Serve from the event loop. `workers`,
    // `policy` and (if given) `auth` and `log` must outlive the conversation.
    DeliveryConversation(DeliveryProtocol protocol, ConnectionSlot& slot, Pop3Channel& channel,
                         DeliveryWorkers& workers, const DeliveryPolicy& policy,
                         std::function<void()> resumeLater, Authenticator* auth = nullptr,
                         ServiceLog* log = nullptr);
    // A message still arriving is dropped: nothing of it is stored.
    ~DeliveryConversation();
    DeliveryConversation(const DeliveryConversation&) = delete;
    DeliveryConversation& operator=(const DeliveryConversation&) = delete;

    void Greet();
    // Serves what can be served now: called on arriving lines, when the output has drained,
    // and when resumed. Returns how many lines it took.
    int Serve();
    bool Ended() const { return ended_; }
    // Waiting for a worker: a recipient check, the store of a message, a password check.
    bool Waiting() const { return waiting_; }

private:
    enum class Stage : std::uint8_t { Fresh, Ready, Mail, Data };
    struct Command;
    using Handler = void (DeliveryConversation::*)(std::string_view argument);
    struct Recipient {
        std::string address;  // as the client gave it, for the log
        std::string user;     // the local part: whose maildrop
    };

    void Interpret(std::string_view line);
    void DataLine(std::string_view line);
    void EndOfData();
    void AnswerDelivery(const DeliveryReport& report);
    void LogDelivery(const DeliveryReport& report);
    void ResetTransaction();
    void EndInput();
    void Reply(std::string_view text);
    bool Smtp() const { return protocol_ == DeliveryProtocol::Smtp; }

    void Hello(std::string_view argument);
    void OldHello(std::string_view argument);
    void Mail(std::string_view argument);
    void Rcpt(std::string_view argument);
    void Data(std::string_view argument);
    void Rset(std::string_view argument);
    void Noop(std::string_view argument);
    void Quit(std::string_view argument);
    void Vrfy(std::string_view argument);
    void StartTls(std::string_view argument);
    void Auth(std::string_view argument);
    void SaslResponse(std::string_view line);
    void CheckLogin(const std::string& user, const std::string& password);

    static const Command kCommands[];

    DeliveryProtocol protocol_;
    ConnectionSlot& slot_;
    Pop3Channel& channel_;
    DeliveryWorkers& workers_;
    const DeliveryPolicy& policy_;
    std::function<void()> resumeLater_;
    Authenticator* auth_;
    ServiceLog* log_;
    // Results of work off the loop come back only while this lives.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    Stage stage_ = Stage::Fresh;
    bool authenticated_ = false;
    bool waiting_ = false;  // for a worker's answer: nothing more is taken until it comes
    std::vector<Recipient> recipients_;
    std::string pendingRecipient_;  // the address of the recipient being checked
    std::string pendingUser_;

    // The message arriving.
    std::shared_ptr<DeliveryFeed> feed_;
    std::string chunk_;
    std::int64_t size_ = 0;
    bool tooBig_ = false;
    bool dataEnded_ = false;
    std::optional<DeliveryReport> report_;

    SaslStep sasl_ = SaslStep::None;
    std::string saslUser_;
    std::string line_;
    bool ended_ = false;
};
