// "--key value" options for the bench client; repeated keys accumulate.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

class Args {
public:
    Args(int argc, char** argv, int first) {
        for (int i = first; i < argc; ++i) {
            std::string k = argv[i];
            if (k.rfind("--", 0) != 0 || i + 1 >= argc)
                throw std::invalid_argument("expected --key value, got: " + k);
            kv_[k.substr(2)].push_back(argv[++i]);
        }
    }
    bool has(const std::string& k) const { return kv_.count(k) != 0; }
    std::string str(const std::string& k) const {
        auto it = kv_.find(k);
        if (it == kv_.end())
            throw std::invalid_argument("missing --" + k);
        return it->second.back();
    }
    std::string str(const std::string& k, const std::string& def) const {
        return has(k) ? str(k) : def;
    }
    std::int64_t num(const std::string& k) const { return std::stoll(str(k)); }
    std::int64_t num(const std::string& k, std::int64_t def) const { return has(k) ? num(k) : def; }
    std::vector<std::string> all(const std::string& k) const {
        auto it = kv_.find(k);
        return it == kv_.end() ? std::vector<std::string>{} : it->second;
    }

private:
    std::map<std::string, std::vector<std::string>> kv_;
};

}  // namespace bench
