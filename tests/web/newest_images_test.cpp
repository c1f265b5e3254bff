// The relays' worker (server/newest_images.h): while the worker is busy
// with one image, newer ones of the same channel replace each other and are
// counted as skipped; the worker then takes the newest; other channels are
// not touched; Stop joins and refuses what comes after.
#include <condition_variable>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "server/newest_images.h"
#include "support/wait.h"

namespace {

using travik_test::WaitUntil;
using travik_tool::NewestImageWorker;
using travik_tool::RawImage;

struct Seen {
    int channel;
    uint64_t sequence;
    int tag;
};

TEST(NewestImageWorker, BusyWorkerGetsTheNewestAndCountsTheSkipped) {
    std::mutex mutex;
    std::condition_variable cond;
    bool release = false;
    std::vector<Seen> seen;
    NewestImageWorker worker(4, [&](int channel, RawImage& image) {
        std::unique_lock<std::mutex> lock(mutex);
        seen.push_back({channel, image.sequence, static_cast<int>(image.tag)});
        cond.wait(lock, [&] { return release; });  // the first image holds the worker
    });
    auto offer = [&](int channel, uint64_t tag) {
        RawImage image;
        image.tag = tag;
        return worker.Offer(channel, image);
    };
    ASSERT_TRUE(offer(0, 1));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() == 1;
    }));
    for (uint64_t tag = 2; tag <= 5; ++tag) ASSERT_TRUE(offer(0, tag));
    ASSERT_TRUE(offer(2, 10));
    EXPECT_FALSE(offer(4, 11));  // no such channel
    EXPECT_FALSE(offer(-1, 12));
    EXPECT_EQ(worker.TakeSkipped(), 3u);  // 2, 3 and 4 replaced before the worker took one
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    cond.notify_all();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size() == 3;
    }));
    worker.Stop();
    EXPECT_FALSE(offer(0, 6));
    // After the first: one image of each channel, in the worker's order.
    const Seen& a = seen[1].channel == 0 ? seen[1] : seen[2];
    const Seen& b = seen[1].channel == 0 ? seen[2] : seen[1];
    EXPECT_EQ(a.channel, 0);
    EXPECT_EQ(a.tag, 5);
    EXPECT_EQ(a.sequence, 5u);
    EXPECT_EQ(b.channel, 2);
    EXPECT_EQ(b.tag, 10);
    EXPECT_EQ(b.sequence, 1u);
    EXPECT_EQ(worker.TakeSkipped(), 0u);
}

}  // namespace
