#include "transport/send_stats.h"

#include <cstdint>
#include <mutex>

#include "platform/clock.h"
#include "platform/diag.h"

namespace travik {

namespace {
std::mutex s_statsMutex;
bool s_started = false;
uint64_t s_sendStart = 0;
uint64_t s_sendBytes = 0;
}  // namespace

void CountSentBytes(int len) {
    std::lock_guard<std::mutex> lock(s_statsMutex);
    if (!s_started) {
        s_started = true;
        s_sendStart = static_cast<uint64_t>(NowMicros());
    }
    s_sendBytes += static_cast<uint64_t>(static_cast<int64_t>(len));
    if (static_cast<uint64_t>(NowMicros()) - s_sendStart > 3000000) {
        Diag("\n --------------------senddata speed is %llu \n", static_cast<unsigned long long>(s_sendBytes / 3000));
        s_sendBytes = 0;
        s_sendStart = static_cast<uint64_t>(NowMicros());
    }
}

}  // namespace travik
