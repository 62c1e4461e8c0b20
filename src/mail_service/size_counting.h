#pragma once
// Counting the octets RETR would send for the files a listing has not seen before. A login to
// a maildrop full of new mail would read every file on the event loop; past a few small files
// the reading goes to workers instead, and the login is answered when they are done.

#include "platform/file_system.h"

#include <QObject>
#include <QThreadPool>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// A file of a listing whose wire size is not known yet.
struct UncountedFile {
    std::size_t folder = 0;  // which of the listing's folders holds it
    std::string name;        // its name in that folder
    platform::FileIdentity identity;
};

// The files `uncounted` names, counted; nothing for one that could not be read.
std::vector<std::optional<std::int64_t>> CountFiles(
    const std::vector<platform::StoreFolder>& folders, const std::vector<UncountedFile>& uncounted);

class SizeCounting : public QObject {
    Q_OBJECT
public:
    // Below both of these a login counts its new files itself: a few small files cost less to
    // read than a trip to a worker.
    static constexpr std::size_t kInlineFiles = 32;
    static constexpr std::int64_t kInlineBytes = 1 << 20;

    using Counted = std::function<void(std::vector<std::optional<std::int64_t>>)>;

    explicit SizeCounting(QObject* parent = nullptr);
    // Waits only for the counts already running.
    ~SizeCounting() override;

    // Whether a count of `key` is running; `then` joins it, to run when it ends.
    bool Join(const std::string& key, std::function<void()> then);
    // Counts on a worker; `counted` runs on this object's thread with the sizes, then everyone
    // who joined. The folders are kept open until then.
    void Start(const std::string& key, std::vector<platform::StoreFolder> folders,
               std::vector<UncountedFile> uncounted, Counted counted);

private:
    void Finish(const std::string& key);

    std::unordered_map<std::string, std::vector<std::function<void()>>> running_;
    QThreadPool pool_;  // declared last: destroyed first, while the rest still stands
};
