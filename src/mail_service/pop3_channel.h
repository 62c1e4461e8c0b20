#pragma once
// What a POP3 conversation needs from the connection it runs on. The window's connections
// provide it over the socket layer; tests provide it in memory. Replies reach it only through
// the reply family (reply_lines.h).

#include "socket_layer/mod_falquor.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

class Pop3Channel {
public:
    virtual ~Pop3Channel() = default;

    // The next complete request line without its CR LF, if one can be had now.
    virtual bool ReceiveLine(std::string& line) = 0;
    // The next line received is a secret: it is traced as "****", not as it came.
    virtual void HideNextLine() {}
    // Why ReceiveLine has nothing more to give.
    virtual InputEnd InputState() const = 0;
    // The sends return false once the connection is gone or has failed: what is sent then is
    // lost, and so is the rest of the reply.
    // One reply line; CR LF is added.
    virtual bool SendLine(std::string_view text) = 0;
    // Many reply lines at once, each already ending in CR LF and holding no other CR or LF.
    virtual bool SendLines(std::string_view lines) = 0;
    // Bytes without CR LF: the first pieces of a message line too long to hold at once.
    virtual bool SendPart(std::string_view bytes) = 0;
    // `length` bytes of the open file `fd` from `offset`, sent as they are after what was sent
    // before; whole lines, each ending in CR LF. The channel keeps what it needs of `fd`, so
    // the caller may close it at once. Only where CanSendFile is true.
    virtual bool SendFileSpan(int /*fd*/, std::int64_t /*offset*/, std::int64_t /*length*/) {
        return false;
    }
    // Lines made of `pieces` one after the other (together whole lines, each ending in CR LF
    // and holding no other CR or LF), sent without copying where the channel can: the pieces
    // stay valid while `keep` lives. Only where CanSendFile is true.
    virtual bool SendBorrowedLines(std::span<const std::string_view> pieces,
                                   const std::shared_ptr<const void>& keep) {
        static_cast<void>(keep);
        std::string lines;
        for (const std::string_view piece : pieces) {
            lines.append(piece);
        }
        return SendLines(lines);
    }
    // True where file spans can be sent without passing through the program.
    virtual bool CanSendFile() const { return false; }
    // True while output is backed up: send no more until the conversation is resumed.
    virtual bool Congested() const = 0;
    // Ends the connection once what was sent has gone out.
    virtual void Close() = 0;

    // The client's address; 0.0.0.0 where there is none.
    virtual platform::IpAddress PeerAddress() const { return {}; }

    // TLS: whether the connection could be encrypted, whether it is, and the switch to it once
    // what was sent so far has gone out in clear.
    virtual bool CanStartTls() const { return false; }
    virtual bool Encrypted() const { return false; }
    virtual void StartTls() {}
};
