#pragma once
// A message being stored: written into a hidden temporary file (never listed, since its name
// begins with "."), then made a message by Commit, which syncs the file, renames it to its final
// name and syncs the folder, so that a delivery reported done survives a crash. Everything
// goes through folders of the store already open: no path, no link followed. A file never
// committed is removed when its holder goes.

#include "platform/file_system.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Told each step of a commit as it is taken ("write", "fsync file", "rename", "fsync folder"),
// so a test can see their order; empty in normal use.
using StoreStepObserver = std::function<void(std::string_view step)>;

class NewMessageFile {
public:
    NewMessageFile() = default;
    NewMessageFile(NewMessageFile&& other) noexcept;
    NewMessageFile& operator=(NewMessageFile&& other) noexcept;
    NewMessageFile(const NewMessageFile&) = delete;
    NewMessageFile& operator=(const NewMessageFile&) = delete;
    ~NewMessageFile();

    // Makes a hidden file named `hiddenName` (which must begin with ".") in `folder`. 0, or why
    // not (an errno value).
    int Create(const StoreFolder& folder, std::string hiddenName,
               StoreStepObserver observer = nullptr);
    // Appends all of `size` bytes: 0, or an errno value.
    int Write(const char* data, std::size_t size);
    // Appends what is left of the committed file `source` from its start: 0 or an errno value.
    int CopyFrom(const NewMessageFile& source);
    std::int64_t size() const { return size_; }

    // Syncs the file, renames it to `name` in `target` (a name already there is never
    // replaced: EEXIST), then syncs `target`. 0, or an errno value; on failure the temporary
    // file is still there, and removed when this goes.
    int Commit(const StoreFolder& target, const std::string& name);
    // Removes the temporary file now (nothing when committed).
    void Discard();

    bool IsOpen() const { return fd_ != -1; }

private:
    void Note(std::string_view step) const;

    int fd_ = -1;
    int folderFd_ = -1;  // a copy of the temporary file's folder descriptor, for the unlink
    std::string hiddenName_;
    bool committed_ = false;
    std::int64_t size_ = 0;
    StoreStepObserver observer_;
};

// Makes the folder `name` directly in `parent` (mode 0700), without following links: 0, or an
// errno value (EEXIST when something is there already).
int MakeFolder(const StoreFolder& parent, const std::string& name);

}  // namespace platform
