// The ZeroMQ side that runs in a child process: the PUB of every workload,
// and the stalled SUB of the stall row.
#include <unistd.h>
#include <zlib.h>
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "common/loopback.h"
#include "travik_bench/line_batcher.h"
#include "travik_bench/workload.h"
#include "travik_bench/zmq_messages.h"

namespace travik_bench {
namespace {

class ZmqPub : public Sender {
public:
    explicit ZmqPub(const WorkloadArgs& args) : m_args(args) {}

    int Setup() override {
        if (m_args.mode == "images" || m_args.mode == "imglat" || m_args.mode == "stall") {
            m_frames = MakeFrameSet(m_args.shape);
            m_message.resize(kImageMsgHeader + compressBound(static_cast<uLong>(m_args.shape.Bytes())));
        }
        m_ctx = zmq_ctx_new();
        m_pub = m_ctx ? zmq_socket(m_ctx, ZMQ_PUB) : nullptr;
        if (!m_pub) return -1;
        int linger = 0;
        zmq_setsockopt(m_pub, ZMQ_LINGER, &linger, sizeof linger);
        if (m_args.lossless) {
            // A full subscriber queue makes zmq_send wait instead of dropping.
            int one = 1;
            int timeoutMs = 100;  // so that a blocked send still sees `stop`
            if (zmq_setsockopt(m_pub, ZMQ_XPUB_NODROP, &one, sizeof one) != 0) return -1;
            zmq_setsockopt(m_pub, ZMQ_SNDTIMEO, &timeoutMs, sizeof timeoutMs);
        }
        if (zmq_bind(m_pub, "tcp://127.0.0.1:*") != 0) return -1;
        char endpoint[256] = {};
        size_t len = sizeof endpoint;
        if (zmq_getsockopt(m_pub, ZMQ_LAST_ENDPOINT, endpoint, &len) != 0) return -1;
        const char* colon = std::strrchr(endpoint, ':');
        return colon ? std::atoi(colon + 1) : -1;
    }

    // A message without a line: receivers count it as a message only.
    void Probe() override { zmq_send(m_pub, "p", 1, ZMQ_DONTWAIT); }

    void Produce(const std::atomic<bool>& stop) override {
        if (m_args.mode == "images") {
            PinThread(0, m_args.pinCpu);
            SendImages(stop, false);
        } else if (m_args.mode == "stall") {
            SendImages(stop, true);
        } else if (m_args.mode == "logs") {
            char line[kLogLineBytes + 1];
            MakeLogLine(line, 0);
            if (m_args.batched) {
                LineBatcher batcher(
                    [this](std::string& b, const std::atomic<bool>& abandon) {
                        return Send(b.data(), b.size(), abandon);
                    },
                    kBatchCapBytes, m_args.lossless);
                m_batcher = &batcher;
                SendPaced(stop, m_args.rate, [&] {
                    if (!batcher.Stage(line, kLogLineBytes, stop) && !stop.load()) ++m_refused;
                    return true;
                });
                batcher.Finish(5.0);
                m_accepted += batcher.AcceptedLines();
                m_refused += batcher.RefusedLines();
                m_batcher = nullptr;
            } else {
                SendPaced(stop, m_args.rate, [&] {
                    if (Send(line, kLogLineBytes, stop)) {
                        ++m_accepted;
                    } else if (!stop.load()) {
                        ++m_refused;
                    }
                    return true;
                });
            }
        } else if (m_args.mode == "loglat") {
            SendTimedLines(stop);
        } else if (m_args.mode == "imglat") {
            const auto period = std::chrono::nanoseconds(1000000000 / std::max(1, m_args.rate));
            auto next = std::chrono::steady_clock::now();
            for (size_t k = 0; !stop.load(); ++k) {
                next += period;
                std::this_thread::sleep_until(next);
                SendImage(m_frames[k % m_frames.size()]);
            }
        }
    }

    // "stats ACCEPTED REFUSED": lines zmq_send took (a PUB without NODROP
    // takes everything and drops what a SUB has no room for) and lines given
    // up on.
    std::string Query(const std::string& cmd) override {
        if (cmd == "stats") {
            unsigned long long accepted = m_accepted.load();
            if (LineBatcher* b = m_batcher.load()) accepted += b->AcceptedLines();
            return "stats " + std::to_string(accepted) + " " + std::to_string(m_refused.load());
        }
        if (cmd == "affinity") return "affinity " + ThreadAffinity(m_producerTid.load());
        if (cmd == "limits") {
            int hwm = 0;
            size_t len = sizeof hwm;
            zmq_getsockopt(m_pub, ZMQ_SNDHWM, &hwm, &len);
            const unsigned long long n = m_imagesSent.load();
            return "limits " + std::to_string(hwm) + " " + std::to_string(n ? m_imageBytes.load() / n : 0);
        }
        return std::string();
    }

    void Teardown() override {
        if (m_pub) zmq_close(m_pub);
        if (m_ctx) zmq_ctx_term(m_ctx);
        m_pub = nullptr;
        m_ctx = nullptr;
    }

private:
    // One message; with NODROP a full queue is waited out (until `giveUp`).
    bool Send(const void* p, size_t n, const std::atomic<bool>& giveUp) {
        for (;;) {
            if (zmq_send(m_pub, p, n, 0) == static_cast<int>(n)) return true;
            if (zmq_errno() != EAGAIN || giveUp.load()) return false;
        }
    }

    // 1000 lines/s with their staging time, one message per line or through
    // the batcher.
    void SendTimedLines(const std::atomic<bool>& stop) {
        std::unique_ptr<LineBatcher> batcher;
        if (m_args.batched)
            batcher = std::make_unique<LineBatcher>(
                [this](std::string& b, const std::atomic<bool>& abandon) { return Send(b.data(), b.size(), abandon); },
                kBatchCapBytes, false);
        travik_bench::SendTimedLines(stop, m_args.rate, [&](const char* line) {
            if (batcher) {
                batcher->Stage(line, kLogLineBytes, stop);
            } else {
                zmq_send(m_pub, line, kLogLineBytes, 0);
            }
            return true;
        });
        if (batcher) batcher->Finish(1.0);
    }

    // What a user's camera loop does: compress the image, send it.
    void SendImage(const std::shared_ptr<unsigned char>& frame) {
        const uint64_t stamp = NowNanos();
        uLongf out = static_cast<uLongf>(m_message.size() - kImageMsgHeader);
        const uLong raw = static_cast<uLong>(m_args.shape.Bytes());
        if (compress2(m_message.data() + kImageMsgHeader, &out, frame.get(), raw, 6) != Z_OK) return;
        PutU64(m_message.data(), stamp);
        const uint32_t raw32 = static_cast<uint32_t>(raw);
        for (int i = 0; i < 4; ++i)
            m_message[8 + static_cast<size_t>(i)] = static_cast<unsigned char>(raw32 >> (8 * i));
        zmq_send(m_pub, m_message.data(), kImageMsgHeader + out, 0);
        ++m_imagesSent;
        m_imageBytes += kImageMsgHeader + out;
    }

    void SendImages(const std::atomic<bool>& stop, bool withLogs) {
        m_producerTid = static_cast<int>(gettid());
        char line[kLogLineBytes + 1];
        const uint64_t start = NowNanos();
        uint64_t linesSent = 0;
        for (uint64_t k = 0; !stop.load(); ++k) {
            for (int ch = 0; ch < 4 && !stop.load(); ++ch) {
                SendImage(m_frames[(k + static_cast<uint64_t>(ch)) % m_frames.size()]);
                if (!withLogs) continue;
                const uint64_t owed = (NowNanos() - start) / 1000000;
                for (; linesSent < owed; ++linesSent) {
                    MakeLogLine(line, NowNanos());
                    zmq_send(m_pub, line, kLogLineBytes, 0);
                }
            }
        }
    }

    WorkloadArgs m_args;
    void* m_ctx = nullptr;
    void* m_pub = nullptr;
    std::vector<std::shared_ptr<unsigned char>> m_frames;
    std::vector<unsigned char> m_message;
    std::atomic<unsigned long long> m_accepted{0};
    std::atomic<unsigned long long> m_refused{0};
    std::atomic<unsigned long long> m_imagesSent{0};
    std::atomic<unsigned long long> m_imageBytes{0};
    std::atomic<LineBatcher*> m_batcher{nullptr};
    std::atomic<int> m_producerTid{0};
};

// A SUB that connects with a 4 KiB receive buffer, subscribes to everything
// and never receives: what ZeroMQ keeps for a viewer that stalls.
class ZmqStalledSub : public Sender {
public:
    explicit ZmqStalledSub(const WorkloadArgs& args) : m_args(args) {}
    int Setup() override {
        m_ctx = zmq_ctx_new();
        m_sub = m_ctx ? zmq_socket(m_ctx, ZMQ_SUB) : nullptr;
        if (!m_sub) return -1;
        int linger = 0;
        int rcvbuf = 4096;
        zmq_setsockopt(m_sub, ZMQ_LINGER, &linger, sizeof linger);
        zmq_setsockopt(m_sub, ZMQ_RCVBUF, &rcvbuf, sizeof rcvbuf);
        zmq_setsockopt(m_sub, ZMQ_SUBSCRIBE, "", 0);
        const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(m_args.port);
        return zmq_connect(m_sub, endpoint.c_str()) == 0 ? 0 : -1;
    }
    void Produce(const std::atomic<bool>&) override {}
    std::string Query(const std::string& cmd) override {
        if (cmd != "limits") return std::string();
        int hwm = 0;
        size_t len = sizeof hwm;
        zmq_getsockopt(m_sub, ZMQ_RCVHWM, &hwm, &len);
        return "limits " + std::to_string(hwm);
    }
    void Teardown() override {
        if (m_sub) zmq_close(m_sub);
        if (m_ctx) zmq_ctx_term(m_ctx);
        m_sub = m_ctx = nullptr;
    }

private:
    WorkloadArgs m_args;
    void* m_ctx = nullptr;
    void* m_sub = nullptr;
};

}  // namespace

std::unique_ptr<Sender> MakeZmqSender(const WorkloadArgs& args) {
    if (args.mode == "sub") return std::make_unique<ZmqStalledSub>(args);
    return std::make_unique<ZmqPub>(args);
}

}  // namespace travik_bench
