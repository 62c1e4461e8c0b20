#pragma once
// How long a failed login's answer waits, by client address: the longer an address keeps
// failing, the longer it waits, so guessing from one address slows down while everyone else
// is answered as before. Addresses in trusted networks always wait the base delay.

#include "platform/ip_address.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

using platform::IpAddress;
using platform::IpNetwork;

// "10.0.0.0/8", "2001:db8::/32" or a bare address, comma separated, blanks allowed around
// each; empty: none. Nullopt with `error` naming the bad entry otherwise.
std::optional<std::vector<IpNetwork>> ReadNetworks(std::string_view text, std::string& error);
bool InNetworks(const std::vector<IpNetwork>& networks, const IpAddress& peer);

class FailurePenalty {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kBaseDelay{1000};
    static constexpr std::chrono::milliseconds kLongestDelay{15000};
    // An address that has not failed this long starts again from the base delay.
    static constexpr std::chrono::minutes kForgetAfter{10};
    static constexpr std::size_t kMostAddresses = 100'000;

    explicit FailurePenalty(std::size_t mostAddresses = kMostAddresses);

    void SetTrusted(std::vector<IpNetwork> trusted) { trusted_ = std::move(trusted); }
    bool Trusted(const IpAddress& peer) const { return InNetworks(trusted_, peer); }

    // A failed login from `peer` at `now`: how long its answer waits (1, 2, 4, 8, then 15 s
    // for consecutive failures).
    std::chrono::milliseconds Failed(const IpAddress& peer, Clock::time_point now);
    // A login from `peer` succeeded: its next failure waits the base delay again.
    void Succeeded(const IpAddress& peer);
    // Addresses remembered.
    std::size_t Size() const { return entries_.size(); }

private:
    struct Entry {
        unsigned failures = 0;
        Clock::time_point last;
        std::list<IpAddress>::iterator place;  // in recent_
    };

    std::size_t most_;
    std::vector<IpNetwork> trusted_;
    std::list<IpAddress> recent_;  // the most recently failed first
    std::unordered_map<IpAddress, Entry, platform::IpAddressHash> entries_;
};
