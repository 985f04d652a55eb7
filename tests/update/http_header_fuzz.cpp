// Feeds arbitrary bytes to the HTTP answer reader and the name and redirect helpers
// that consume its fields.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "update/download_address.h"
#include "update/http_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    update::HttpHeader header;
    // Fed the way a connection sees it: growing prefixes of the same answer.
    for (size_t cut : {size / 3, size / 2, size}) {
        if (update::scanHttpHeader(input.substr(0, cut), header) != update::HeaderScan::Complete) continue;
        if (header.length > cut || header.length > update::kMaxHeaderBytes) __builtin_trap();
        if (header.status < 0 || header.status > 999) __builtin_trap();
        if (header.contentLength && *header.contentLength < 0) __builtin_trap();
        if (header.contentRange && header.contentRange->last < header.contentRange->first) __builtin_trap();
        if (auto name = update::fileNameFromDisposition(header.contentDisposition)) {
            if (name->find('/') != std::string::npos || name->find('\\') != std::string::npos || *name == ".." ||
                *name == ".")
                __builtin_trap();
        }
        static const auto current = *update::parseDownloadAddress("http://example.test:8080/dir/file.exe");
        if (auto target = update::resolveLocation(current, header.location)) {
            if (!update::parseDownloadAddress(*target)) __builtin_trap();
        }
    }
    (void)update::parseDownloadAddress(input);
    return 0;
}
