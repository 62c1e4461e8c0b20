// libFuzzer target for the PROXY header reader: whatever the bytes, it answers without
// reading past them, a whole header reads the same without what follows it, and a header cut
// short always asks for more rather than being taken or refused early.

#include "mail_service/proxy_header.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const ProxyHeader whole = ReadProxyHeader(bytes);
    if (whole.status == ProxyHeader::Status::NeedMore && size >= kMostProxyHeader) {
        std::abort();  // more than a header may hold, still waiting
    }
    if (whole.status != ProxyHeader::Status::Ok) {
        return 0;
    }
    if (whole.size == 0 || whole.size > size || whole.size > kMostProxyHeader) {
        std::abort();
    }
    const ProxyHeader alone = ReadProxyHeader(bytes.substr(0, whole.size));
    if (alone.status != ProxyHeader::Status::Ok || alone.size != whole.size ||
        !(alone.address == whole.address) || alone.port != whole.port) {
        std::abort();
    }
    for (const std::size_t cut : {whole.size - 1, whole.size / 2}) {
        if (ReadProxyHeader(bytes.substr(0, cut)).status != ProxyHeader::Status::NeedMore) {
            std::abort();
        }
    }
    return 0;
}
