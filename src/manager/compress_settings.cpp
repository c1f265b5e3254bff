// SetCompression, the environment's compression settings, and what the send
// thread reads of them for each frame.
#include <cerrno>
#include <cstdlib>

#include "manager/compress_settings.h"
#include "platform/diag.h"

namespace travik {
namespace {

bool ValidLevel(int level) { return level >= 1 && level <= 9; }
bool ValidThreads(int threads) { return threads >= 0 && threads <= kMaxCompressThreads; }

// The whole of `text` as a decimal int in [lo, hi].
bool ParseInt(const char* text, int lo, int hi, int& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

void ApplyCompressionEnvironment(TravikMgr& mgr) {
    int value = 0;
    if (const char* level = std::getenv("TRAVIK_COMPRESS_LEVEL")) {
        if (ParseInt(level, 1, 9, value))
            mgr.m_compressLevel = value;
        else
            Diag("TRAVIK_COMPRESS_LEVEL=%s ignored: expected a level from 1 to 9\n", level);
    }
    if (const char* threads = std::getenv("TRAVIK_COMPRESS_THREADS")) {
        if (ParseInt(threads, 0, kMaxCompressThreads, value))
            mgr.m_compressThreads = ResolveCompressThreads(value);
        else
            Diag("TRAVIK_COMPRESS_THREADS=%s ignored: expected 0 (one per core) to %d\n", threads, kMaxCompressThreads);
    }
}

CompressOptions CompressOptionsOf(TravikMgr& mgr) {
    CompressOptions options;
    options.level = mgr.m_compressLevel.load();
    options.threads = mgr.m_compressThreads.load();
    std::shared_ptr<CompressPool> pool = mgr.m_compressPool;
    const int helpers = options.threads - 1;
    if (pool && helpers > 0)
        options.run = [pool, helpers](size_t count, const std::function<void(size_t)>& work) {
            pool->ParallelFor(count, helpers, work);
        };
    return options;
}

}  // namespace travik

using namespace travik;

int TravikMgr::SetCompression(int level, int threads) {
    if (!ValidLevel(level) || !ValidThreads(threads)) return -1;
    const int resolved = ResolveCompressThreads(threads);
    m_compressLevel = level;
    m_compressThreads = resolved;
    // While listening, a larger setting gets its workers at once; a smaller
    // one leaves the extra workers asleep until Release.
    m_compressPool->Grow(WorkersFor(resolved));
    return 0;
}
