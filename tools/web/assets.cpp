#include "web/assets.h"

namespace travik_tool {

extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

const WebAsset* FindWebAsset(const std::string& target) {
    std::string path = target.substr(0, target.find('?'));
    if (path == "/") path = "/index.html";
    for (size_t i = 0; i < kWebAssetCount; ++i)
        if (path == kWebAssets[i].path) return &kWebAssets[i];
    return nullptr;
}

}  // namespace travik_tool
