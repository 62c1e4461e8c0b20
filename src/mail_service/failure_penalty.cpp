#include "mail_service/failure_penalty.h"

#include "socket_layer/blanks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

std::optional<std::vector<Ipv4Network>> ReadNetworks(std::string_view text, std::string& error) {
    std::vector<Ipv4Network> networks;
    while (!TrimBlanks(text).empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = TrimBlanks(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const std::size_t slash = entry.find('/');
        in_addr parsed{};
        int bits = 32;
        const std::string_view length =
            slash == std::string_view::npos ? std::string_view() : entry.substr(slash + 1);
        const bool lengthOk =
            slash == std::string_view::npos ||
            (!length.empty() &&
             std::from_chars(length.data(), length.data() + length.size(), bits).ptr ==
                 length.data() + length.size() &&
             bits >= 0 && bits <= 32);
        if (!lengthOk ||
            ::inet_pton(AF_INET, std::string(entry.substr(0, slash)).c_str(), &parsed) != 1) {
            error = "bad network (a.b.c.d/n is needed): " + std::string(entry);
            return std::nullopt;
        }
        const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
        networks.push_back(Ipv4Network{ntohl(parsed.s_addr) & mask, mask});
    }
    return networks;
}

bool InNetworks(const std::vector<Ipv4Network>& networks, std::uint32_t peer) {
    const std::uint32_t host = ntohl(peer);
    return std::any_of(networks.begin(), networks.end(),
                       [host](const Ipv4Network& n) { return (host & n.mask) == n.address; });
}

FailurePenalty::FailurePenalty(std::size_t mostAddresses)
    : most_(std::max<std::size_t>(1, mostAddresses)) {}

std::chrono::milliseconds FailurePenalty::Failed(std::uint32_t peer, Clock::time_point now) {
    if (Trusted(peer)) {
        return kBaseDelay;
    }
    auto it = entries_.find(peer);
    if (it == entries_.end()) {
        if (entries_.size() >= most_) {
            entries_.erase(recent_.back());  // the address that failed longest ago
            recent_.pop_back();
        }
        recent_.push_front(peer);
        it = entries_.emplace(peer, Entry{0, now, recent_.begin()}).first;
    } else {
        recent_.splice(recent_.begin(), recent_, it->second.place);
    }
    Entry& entry = it->second;
    if (now - entry.last >= kForgetAfter) {
        entry.failures = 0;
    }
    entry.last = now;
    entry.failures = std::min(entry.failures + 1, 16u);
    return std::min<std::chrono::milliseconds>(kBaseDelay * (1 << (entry.failures - 1)),
                                               kLongestDelay);
}

void FailurePenalty::Succeeded(std::uint32_t peer) {
    if (const auto it = entries_.find(peer); it != entries_.end()) {
        recent_.erase(it->second.place);
        entries_.erase(it);
    }
}
