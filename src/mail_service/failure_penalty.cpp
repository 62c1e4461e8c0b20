#include "mail_service/failure_penalty.h"

#include "socket_layer/blanks.h"

#include <algorithm>
#include <charconv>

std::optional<std::vector<IpNetwork>> ReadNetworks(std::string_view text, std::string& error) {
    std::vector<IpNetwork> networks;
    while (!TrimBlanks(text).empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = TrimBlanks(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const std::optional<IpNetwork> network = IpNetwork::Parse(entry);
        if (!network) {
            error = "bad network (a.b.c.d/n or an IPv6 prefix is needed): " + std::string(entry);
            return std::nullopt;
        }
        networks.push_back(*network);
    }
    return networks;
}

bool InNetworks(const std::vector<IpNetwork>& networks, const IpAddress& peer) {
    return std::any_of(networks.begin(), networks.end(),
                       [&peer](const IpNetwork& n) { return n.Contains(peer); });
}

FailurePenalty::FailurePenalty(std::size_t mostAddresses)
    : most_(std::max<std::size_t>(1, mostAddresses)) {}

std::chrono::milliseconds FailurePenalty::Failed(const IpAddress& peer, Clock::time_point now) {
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

void FailurePenalty::Succeeded(const IpAddress& peer) {
    if (const auto it = entries_.find(peer); it != entries_.end()) {
        recent_.erase(it->second.place);
        entries_.erase(it);
    }
}
