#pragma once
// The operations on a user's maildrop: the scan that makes a connection's snapshot, the
// listing, opening a message and the deletion at QUIT. Plain logic over a slot and the store:
// none of them sends anything. The listing and an opened message come back as reply streams,
// which send their lines only when the conversation pumps them; the interpreter sends the
// status lines.

#include "mail_service/connection_slot.h"
#include "platform/file_system.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ListingStream;
class SizeCounting;
class MessageStream;

namespace platform {
class ListingCache;
class WireSizes;
}  // namespace platform

// The maildrop root, held open, and what is remembered about the folders below it. Every
// maildrop is reached through the root opened here, never by its path again: a root renamed
// or replaced (by a link, or by another folder) while the program runs changes nothing, the
// one opened is still served, and a login that sees its path name something else says so on
// standard error, once. A root that cannot be opened at the start (not there yet, or a link,
// which is never followed) makes every maildrop empty; each login tries it again, so a root
// made later is served from the next login on, and then kept for the rest of the run.
// Moving the store is cheap; sessions hold it by reference.
class MaildropStore {
public:
    explicit MaildropStore(std::string root);
    ~MaildropStore();
    MaildropStore(MaildropStore&&) noexcept;
    MaildropStore& operator=(MaildropStore&&) noexcept;

    const std::string& root() const { return root_; }
    // Why the root is not open, as a sentence for a warning; empty while it is open.
    std::string RootProblem() const;
    // The root, held open (opened now if it could not be before); not open when it cannot be.
    const platform::StoreFolder& RootFolder() const { return LookAtRoot(); }
    // The user's folder, opened through the root; not open when it is missing or a link.
    platform::StoreFolder OpenUserFolder(std::string_view user) const;
    // The user's messages, sorted by name: the login's look at the store. While the folder
    // does not change, every call gets the same listing. A folder that is there but cannot be
    // opened lists nothing, with `error` (if given) set to why (an errno value); else 0.
    // Sizes are the octets RETR sends, counted here for the files not seen before.
    std::shared_ptr<const platform::FolderListing> ListMessages(std::string_view user,
                                                                int* error = nullptr) const;
    using ListingDone =
        std::function<void(std::shared_ptr<const platform::FolderListing>, int error)>;
    // The same listing, given to `done`: before this returns when the files not seen before are
    // few and small, or with counting off the loop not enabled; otherwise on the loop's thread
    // once workers have read them. `done` must find out itself whether its caller still lives.
    void ListMessages(std::string_view user, ListingDone done) const;
    // From now on files not seen before are counted by workers, past a few small ones. The
    // store must not be moved after that.
    void CountOffLoop();

private:
    struct Root;
    struct Listed;
    Listed List(const std::string& user) const;
    // Gives the listing the sizes counted, remembers them and the listing.
    void Complete(Listed& listed, const std::vector<std::optional<std::int64_t>>& sizes) const;
    // The open root, opened now if it could not be before; says once when the path names
    // another folder than the one open.
    const platform::StoreFolder& LookAtRoot() const;

    std::string root_;
    std::unique_ptr<Root> open_;
    std::unique_ptr<platform::ListingCache> cache_;
    // The octets each file listed sends, kept across listings of a changed folder.
    std::unique_ptr<platform::WireSizes> wireSizes_;
    std::unique_ptr<SizeCounting> counting_;
};

// A user name names one folder directly under the root: not empty, not beginning with "."
// (as no message file does: such names are hidden, and "." and ".." are no user's), at most
// 255 bytes, without separators, wildcards, control bytes or DEL. 8-bit bytes are allowed.
bool IsPlainFolderName(std::string_view name);

// The sizes (as sent) added up; the sum stops at the largest 64-bit value rather than wrap.
std::int64_t TotalSize(const platform::FolderListing& listing);

// Replaces the slot's snapshot with the maildrop of its user, who becomes the snapshot's owner.
// Returns 0, or why the user's folder is there but could not be read (an errno value); a user
// without a folder simply has no mail.
int ScanMaildrop(ConnectionSlot& slot, const MaildropStore& store);
// The same, with the listing made already.
void TakeSnapshot(ConnectionSlot& slot, std::shared_ptr<const platform::FolderListing> listing);

// How a command's argument names a message. Most commands read the number and round it;
// DELE has always subtracted one before rounding, so 1.5 names message 1 for DELE but 2 for
// RETR.
enum class NumberRule { Round, SubtractOneThenRound };
// The entry of the message the argument names, or nothing when there is no such message.
std::optional<std::size_t> MessageEntry(const ConnectionSlot& slot, std::string_view argument,
                                        NumberRule rule = NumberRule::Round);

// The "n size" lines of the whole listing and the final ".".
std::unique_ptr<ListingStream> ListMessages(const ConnectionSlot& slot);
// The "n unique-id" lines of the whole listing and the final ".".
std::unique_ptr<ListingStream> ListUniqueIds(const ConnectionSlot& slot);

// The message of `entry`, open for streaming; nothing when it cannot be opened as a regular
// file.
std::unique_ptr<MessageStream> OpenMessage(const ConnectionSlot& slot, std::size_t entry,
                                           const MaildropStore& store);

// What became of the marked messages at QUIT.
struct MarkedRemoval {
    std::size_t removed = 0;
    std::size_t gone = 0;     // gone already, or another file under the name now: kept
    std::size_t failed = 0;   // still there, and could not be removed
    std::string firstFailed;  // the name of the first that could not be removed
    int firstError = 0;       // and why, an errno value

    bool AllRemoved() const { return failed == 0; }
};

// Deletes the owner's marked files that are still the files the scan saw.
MarkedRemoval RemoveMarkedMessages(const ConnectionSlot& slot, const MaildropStore& store);
