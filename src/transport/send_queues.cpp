// Frames on their way out: senders queue a shared buffer per connection and
// wake the loop; the loop hands each connection's queue to libevent when its
// previous hand-over has been written. The backlog policy (backlog_limits.h)
// decides what a slow connection gets: images are skipped over the soft
// bound, log text waits (RoomFor) before any backlog would pass the hard
// bound, and a connection is closed as slow when its output has not moved
// for too long (or, for unchecked frames, far past the hard bound).
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "platform/clock.h"
#include "platform/diag.h"
#include "transport/backlog_limits.h"
#include "transport/send_stats.h"
#include "transport/travik_obj.h"

using travik::Diag;

int TravikObj::SendData(std::shared_ptr<unsigned char>& data, int len) {
    const SendDataSt part{data, len};
    return Queue(&part, 1, false, true);
}

int TravikObj::SendParts(std::shared_ptr<unsigned char>& head, int headLen, std::shared_ptr<unsigned char>& body,
                         int bodyLen) {
    const SendDataSt parts[2] = {{head, headLen}, {body, bodyLen}};
    return Queue(parts, 2, false, false);
}

int TravikObj::SendLatest(std::shared_ptr<unsigned char>& data, int len) {
    const SendDataSt part{data, len};
    return Queue(&part, 1, true, true);
}

int TravikObj::Queue(const SendDataSt* parts, size_t count, bool latest, bool stamped) {
    long long total = 0;
    bool empty = false;  // a part with nothing to write would only leave a connection busy
    for (size_t i = 0; i < count; ++i) {
        total += parts[i].len;
        empty = empty || parts[i].len <= 0 || !parts[i].data;
    }
    travik::CountSentBytes(static_cast<int>(std::min<long long>(total, INT32_MAX)));
    if (empty) return -1;
    const size_t len = static_cast<size_t>(total);
    std::lock_guard<std::mutex> lock(m_connMutex);
    bool queued = false;
    bool slow = false;
    for (auto& entry : m_connMap) {
        ConnectionSt& conn = entry.second;
        if (conn.closing) continue;
        size_t backlog = conn.queuedBytes + conn.outputBytes.load(std::memory_order_relaxed);
        if (latest) {
            if (backlog >= travik::kSoftBacklogBytes) continue;
        } else if (backlog > 0 && backlog + len > travik::kCutBacklogBytes) {
            conn.closing = true;
            slow = true;
            continue;
        }
        conn.pending.insert(conn.pending.end(), parts, parts + count);
        conn.queuedBytes += len;
        queued = true;
    }
    if (queued && stamped) ++m_roomStamp;
    if (queued || slow) WakeLoopLocked();
    return -1;
}

void TravikObj::WakeLoopLocked() {
    // Any connection's flush event serves all connections.
    for (auto& entry : m_connMap) {
        if (entry.second.flushEvent) {
            event_active(entry.second.flushEvent, EV_TIMEOUT, 0);
            return;
        }
    }
}

bool TravikObj::AllBacklogged() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    for (auto& entry : m_connMap) {
        const ConnectionSt& conn = entry.second;
        if (!conn.closing && conn.queuedBytes + conn.outputBytes.load() < travik::kSoftBacklogBytes) return false;
    }
    return !m_connMap.empty();
}

bool TravikObj::RoomStamp(uint64_t& stamp) {
    stamp = m_roomStamp.load();
    return true;
}

bool TravikObj::RoomFor(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_connMutex);
    if (m_connMap.empty()) return false;
    // The clock is read only when a connection is short of room: only then
    // may one that stopped reading be holding everybody back.
    return RoomLocked(false) >= bytes || RoomLocked(true) >= bytes;
}

size_t TravikObj::RoomLeft() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    return RoomLocked(true);
}

size_t TravikObj::RoomLocked(bool dropStuck) {
    const int64_t now = dropStuck ? travik::SteadyMicros() : 0;
    size_t room = SIZE_MAX;
    bool stuck = false;
    for (auto& entry : m_connMap) {
        ConnectionSt& conn = entry.second;
        if (conn.closing) continue;
        const size_t output = conn.outputBytes.load();
        if (dropStuck && output > 0 && now - conn.lastProgress.load() > travik::kNoProgressMicros) {
            // Not reading: closed on the loop thread, and no longer waited for.
            conn.closing = true;
            stuck = true;
            continue;
        }
        const size_t backlog = conn.queuedBytes + output;
        room = std::min(room, backlog < travik::kHardBacklogBytes ? travik::kHardBacklogBytes - backlog : 0);
    }
    if (stuck) WakeLoopLocked();
    return room;
}

namespace {

// Frees the reference an output buffer held on a shared frame.
void ReleaseFrame(const void*, size_t, void* holder) { delete static_cast<std::shared_ptr<unsigned char>*>(holder); }

}  // namespace

void TravikObj::HandOverLocked(ConnectionSt& conn) {
    // Every connection's output buffer references the one shared frame
    // instead of copying it; the last one done with it frees it.
    evbuffer* output = bufferevent_get_output(conn.bev);
    for (const SendDataSt& item : conn.pending) {
        auto* holder = new std::shared_ptr<unsigned char>(item.data);
        if (evbuffer_add_reference(output, item.data.get(), static_cast<size_t>(item.len), ReleaseFrame, holder) != 0) {
            delete holder;
            bufferevent_write(conn.bev, item.data.get(), static_cast<size_t>(item.len));
        }
    }
    conn.pending.clear();
    conn.queuedBytes = 0;
    conn.busy = true;
}

void TravikObj::FlushCb(evutil_socket_t, short, void* arg) {
    travik::RunGuarded("flush failed", [&] { static_cast<ConnectionSt*>(arg)->owner->OnFlushEvent(); });
}

std::vector<evutil_socket_t> TravikObj::CollectSlowLocked() {
    std::vector<evutil_socket_t> slow;
    int64_t now = travik::SteadyMicros();
    for (auto& entry : m_connMap) {
        ConnectionSt& conn = entry.second;
        bool stuck = conn.outputBytes.load() > 0 && now - conn.lastProgress.load() > travik::kNoProgressMicros;
        if (conn.closing || stuck) slow.push_back(entry.first);
    }
    return slow;
}

void TravikObj::OnFlushEvent() {
    std::vector<evutil_socket_t> slow;
    {
        std::lock_guard<std::mutex> lock(m_connMutex);
        slow = CollectSlowLocked();
        for (evutil_socket_t fd : slow) {
            const ConnectionSt& conn = m_connMap.at(fd);
            Diag("slow connection fd = %lld closed: %zu bytes not taken\n", static_cast<long long>(fd),
                 conn.queuedBytes + conn.outputBytes.load());
            RemoveLocked(fd);
        }
        for (auto& entry : m_connMap) {
            ConnectionSt& conn = entry.second;
            if (!conn.busy && !conn.pending.empty()) HandOverLocked(conn);
        }
    }
    for (evutil_socket_t fd : slow) NotifyClosed(fd);
}

void TravikObj::WriteCb(bufferevent* bev, void* arg) {
    if (evbuffer_get_length(bufferevent_get_output(bev)) != 0) {
        Diag("is full\n");
        return;
    }
    travik::RunGuarded("write failed", [&] { static_cast<ConnectionSt*>(arg)->owner->OnWriteDrained(); });
}

void TravikObj::OnWriteDrained() {
    std::lock_guard<std::mutex> lock(m_connMutex);
    for (auto& entry : m_connMap) {
        ConnectionSt& conn = entry.second;
        if (conn.pending.empty()) {
            conn.busy = false;
        } else {
            HandOverLocked(conn);
        }
    }
}

void TravikObj::OutputCb(evbuffer*, const evbuffer_cb_info* info, void* arg) {
    // Runs inside libevent's buffer operations, possibly while this thread
    // holds m_connMutex: atomics only.
    auto* conn = static_cast<ConnectionSt*>(arg);
    conn->outputBytes.store(info->orig_size + info->n_added - info->n_deleted, std::memory_order_relaxed);
    if (info->n_deleted > 0 || info->orig_size == 0) conn->lastProgress.store(travik::SteadyMicros());
}
