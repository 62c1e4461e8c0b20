#pragma once
// How long a failed login's answer waits, by client address: the longer an address keeps
// failing, the longer it waits, so guessing from one address slows down while everyone else
// is answered as before. Addresses in trusted networks always wait the base delay.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// An IPv4 network, host order.
struct Ipv4Network {
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
};

// "a.b.c.d/n" or "a.b.c.d", comma separated, blanks allowed around each; empty: none.
// Nullopt with `error` naming the bad entry otherwise.
std::optional<std::vector<Ipv4Network>> ReadNetworks(std::string_view text, std::string& error);
// `peer` in network order, as the sockets give it.
bool InNetworks(const std::vector<Ipv4Network>& networks, std::uint32_t peer);

class FailurePenalty {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kBaseDelay{1000};
    static constexpr std::chrono::milliseconds kLongestDelay{15000};
    // An address that has not failed this long starts again from the base delay.
    static constexpr std::chrono::minutes kForgetAfter{10};
    static constexpr std::size_t kMostAddresses = 100'000;

    explicit FailurePenalty(std::size_t mostAddresses = kMostAddresses);

    void SetTrusted(std::vector<Ipv4Network> trusted) { trusted_ = std::move(trusted); }
    bool Trusted(std::uint32_t peer) const { return InNetworks(trusted_, peer); }

    // A failed login from `peer` at `now`: how long its answer waits (1, 2, 4, 8, then 15 s
    // for consecutive failures).
    std::chrono::milliseconds Failed(std::uint32_t peer, Clock::time_point now);
    // A login from `peer` succeeded: its next failure waits the base delay again.
    void Succeeded(std::uint32_t peer);
    // Addresses remembered.
    std::size_t Size() const { return entries_.size(); }

private:
    struct Entry {
        unsigned failures = 0;
        Clock::time_point last;
        std::list<std::uint32_t>::iterator place;  // in recent_
    };

    std::size_t most_;
    std::vector<Ipv4Network> trusted_;
    std::list<std::uint32_t> recent_;  // the most recently failed first
    std::unordered_map<std::uint32_t, Entry> entries_;
};
