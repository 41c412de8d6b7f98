#include "persistence/ChannelMappingDocument.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// Any text either is refused with a reason and no routing, or gives a routing
// that is written and read back unchanged.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parsed = ChannelMappingDocument::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed.ok()) {
        if (!(parsed.document == ChannelMappingDocument{})) {
            std::fprintf(stderr, "refused text left a routing behind: %s\n", parsed.error.c_str());
            std::abort();
        }
        return 0;
    }
    const std::string text = parsed.document.serialize();
    const auto reread = ChannelMappingDocument::parse(text);
    if (!reread.ok() || reread.document.senders != parsed.document.senders ||
        reread.document.delays != parsed.document.delays) {
        std::fprintf(stderr, "written routing did not read back (%s):\n%s\n", reread.error.c_str(), text.c_str());
        std::abort();
    }
    return 0;
}
