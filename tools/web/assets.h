// The page's files (tools/web/page/), embedded into the binary at build time by
// embed_web.cmake. Read-only data: any thread.
#pragma once

#include <cstddef>
#include <string>

namespace travik_tool {

struct WebAsset {
    const char* path;  // "/index.html", "/app.js", ...
    const char* contentType;
    const unsigned char* data;
    size_t size;
};

// The asset served at the request target `target` ("/" is the index; a
// query string is ignored); null when there is none.
const WebAsset* FindWebAsset(const std::string& target);

}  // namespace travik_tool
