#include "mail_service/conversation.h"

#include "mail_service/pop3_interpreter.h"
#include "socket_layer/flow_limits.h"

Conversation::Conversation(ConnectionSlot& slot, Pop3Channel& channel, const MaildropStore& store,
                           std::function<void()> resumeLater, Authenticator* auth, ServiceLog* log,
                           MaildropLocks* locks)
    : slot_(slot),
      channel_(channel),
      store_(store),
      resumeLater_(std::move(resumeLater)),
      auth_(auth),
      log_(log),
      locks_(locks) {}

int Conversation::Serve() {
    if (ended_) {
        return 0;
    }
    Pop3Session session{slot_,        channel_, store_, stream_, auth_,
                        resumeLater_, {},       log_,   locks_,  &hold_};
    int served = 0;
    while (true) {
        if (stream_) {
            const ReplyStream::Step step = stream_->Pump(channel_, flow::kStreamBytesPerTurn);
            if (step == ReplyStream::Step::Failed) {
                stream_.reset();
                ended_ = true;
                channel_.Close();
                break;
            }
            if (step == ReplyStream::Step::Waiting) {
                break;  // the stream resumes the conversation when its wait is over
            }
            if (step == ReplyStream::Step::More) {
                if (!channel_.Congested()) {
                    resumeLater_();  // let other connections have their turn
                }
                break;  // else the drain resumes it
            }
            stream_.reset();
        }
        // Replies are taken in order: the next request waits until the last reply is queued
        // and the queue is below its mark.
        if (channel_.Congested()) {
            break;
        }
        if (served == flow::kLinesPerTurn) {
            resumeLater_();
            break;
        }
        if (!channel_.ReceiveLine(line_)) {
            EndInput();
            break;
        }
        Interpret(session, line_);
        ++served;
    }
    return served;
}

void Conversation::EndInput() {
    switch (channel_.InputState()) {
        case InputEnd::None:
            return;
        case InputEnd::LineTooLong:
            AnswerLineTooLong(channel_);
            break;
        case InputEnd::PeerClosed:
        case InputEnd::Failed:
            break;
    }
    ended_ = true;
    channel_.Close();
}
