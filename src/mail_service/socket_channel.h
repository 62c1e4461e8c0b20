#pragma once
// A connection's POP3 channel over the socket layer.

#include "mail_service/pop3_channel.h"
#include "socket_layer/mod_falquor.h"

class SocketChannel final : public Pop3Channel {
public:
    SocketChannel(modFalquor& falquor, int socket) : falquor_(falquor), socket_(socket) {}

    bool ReceiveLine(std::string& line) override {
        return falquor_.ReceiveFromSocket(socket_, line);
    }
    void HideNextLine() override { falquor_.HideNextReceived(socket_); }
    InputEnd InputState() const override { return falquor_.InputState(socket_); }
    bool SendLine(std::string_view text) override { return falquor_.SendToSocket(socket_, text); }
    bool SendLines(std::string_view lines) override { return falquor_.SendLines(socket_, lines); }
    bool SendPart(std::string_view bytes) override { return falquor_.SendPart(socket_, bytes); }
    bool SendFileSpan(int fd, std::int64_t offset, std::int64_t length) override {
        return falquor_.SendFileSpan(socket_, fd, offset, length);
    }
    bool SendBorrowedLines(std::span<const std::string_view> pieces,
                           const std::shared_ptr<const void>& keep) override {
        return falquor_.SendBorrowed(socket_, pieces, keep);
    }
    bool CanSendFile() const override { return falquor_.CanSendFile(socket_); }
    // Another turn of the conversation, through the layer's ready notice: the one route by
    // which a conversation that yielded, or waited, is resumed.
    void RequestTurn() { falquor_.RequestTurn(socket_); }
    bool Congested() const override { return falquor_.Congested(socket_); }
    void Close() override { falquor_.CloseWhenFlushed(socket_); }
    platform::IpAddress PeerAddress() const override { return falquor_.PeerAddress(socket_); }
    bool CanStartTls() const override { return falquor_.TlsConfigured(); }
    bool Encrypted() const override { return falquor_.Encrypted(socket_); }
    void StartTls() override { falquor_.StartTls(socket_); }

private:
    modFalquor& falquor_;
    int socket_;
};
