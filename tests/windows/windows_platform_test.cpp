// The Windows platform layer: the wall clock read from the system time
// means the same as on Linux (microseconds since 1970-01-01 UTC), and
// connection identifiers carry 64-bit socket handles whole.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/clock.h"
#include "support/test_support.h"
#include "travik/travik.h"

namespace {

TEST(WindowsClock, FileTimeConvertsToUnixMicroseconds) {
    EXPECT_EQ(travik::WallMicrosFromFileTime(travik::kFileTimeUnixEpoch), 0);
    // 2000-01-01 00:00:00.000001 UTC: 946684800 s after the Unix epoch.
    const uint64_t y2k = travik::kFileTimeUnixEpoch + 946684800ULL * 10000000ULL + 10;
    EXPECT_EQ(travik::WallMicrosFromFileTime(y2k), 946684800LL * 1000000LL + 1);
    // Sub-microsecond ticks are dropped, not rounded.
    EXPECT_EQ(travik::WallMicrosFromFileTime(y2k + 9), 946684800LL * 1000000LL + 1);
}

TEST(WindowsClock, AgreesWithTheCRuntimeClock) {
    using namespace std::chrono;
    const int64_t before = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    const int64_t now = travik::NowMicros();
    const int64_t after = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    // Two readings of one clock through different calls; a wrong epoch or
    // unit would be off by centuries or a factor of ten.
    EXPECT_GE(now, before - 1000000);
    EXPECT_LE(now, after + 1000000);
}

TEST(WindowsSockets, ConnectionIdentifiersKeepSixtyFourBitHandles) {
    TravikMgr& device = *Singleton<TravikMgr>::GetInstance();
    std::vector<unsigned long long> ids;
    const unsigned long long big = 0x123456789abcULL;
    std::shared_ptr<unsigned char> none;
    // The manager's receive path keys reassembly state by the identifier it
    // is given; a truncating path would file this under a different key.
    device.ReadCallback(big, none, 0);
    unsigned char partial[4] = {1, 2, 3, 4};
    std::shared_ptr<unsigned char> bytes(new unsigned char[4], std::default_delete<unsigned char[]>());
    std::copy(partial, partial + 4, bytes.get());
    device.ReadCallback(big, bytes, 4);
    std::lock_guard<std::mutex> lock(device.m_recvMutex);
    ASSERT_EQ(device.m_recvFragments.size(), 1u);
    EXPECT_EQ(device.m_recvFragments.begin()->first, big);
}

}  // namespace
