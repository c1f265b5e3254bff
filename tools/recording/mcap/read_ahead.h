// Reads and decodes a recording on a thread of its own, a bounded distance
// ahead of whoever plays it (travik replay's pacer), so that decoding a
// chunk never delays the staging of its first message.
//
// The distance is bounded three ways: by the bytes queued, by the items
// queued (a recording of tiny messages would otherwise queue millions of
// them within the byte bound) and, when looping, by the passes queued: the
// thread starts another pass through the file only while fewer than
// kReadAheadPasses ends of pass wait in the queue, so a short recording is
// not re-read as fast as the disk allows while the pacer sleeps.
//
// Threads: the constructor starts the thread, which is then the only user
// of the Reader until the destructor has joined it. Pop blocks until an
// item is there; Stop, Result, Error and Snapshot lock briefly and may be
// called from any thread. Not for use from a library callback (Pop blocks).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "recording/mcap/reader.h"

namespace travik_mcap {

constexpr size_t kReadAheadBytes = 64u << 20;  // message bytes queued
constexpr size_t kReadAheadItems = 4096;       // messages queued
constexpr uint64_t kReadAheadPasses = 2;       // ends of pass queued, when looping

// One message to stage, or the end of a pass through the file, or the end.
struct ReadAheadItem {
    enum Kind { kLog, kImage, kEndOfPass, kEnd } kind = kEnd;
    uint64_t logTime = 0;
    int attrs[5] = {};
    uint64_t tag = 0;
    std::string bytes;
};

class ReadAhead {
public:
    // Borrows `reader` until destroyed. `loop`: start again at each end of
    // the file, until Stop or a bad message.
    ReadAhead(Reader& reader, bool loop);
    ~ReadAhead();  // stops and joins the thread
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    void Stop();
    // The next item; kEnd once the thread has finished (the last item).
    ReadAheadItem Pop();
    // After Pop returned kEnd: how the last scan ended, and a message that
    // could not be decoded (empty when none).
    ScanResult Result();
    std::string Error();

    struct Stats {
        size_t items = 0;      // queued
        size_t bytes = 0;      // of their messages
        uint64_t passes = 0;   // scans of the file begun
        bool waiting = false;  // the thread waits for room in the queue
    };
    Stats Snapshot();

private:
    bool Push(ReadAheadItem item);
    void Run();

    Reader& m_reader;  // only the thread uses it
    const bool m_loop;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<ReadAheadItem> m_queue;
    size_t m_bytes = 0;
    uint64_t m_endsQueued = 0;
    uint64_t m_passes = 0;
    bool m_waiting = false;
    bool m_stop = false;
    ScanResult m_result;
    std::string m_error;
    std::thread m_thread;  // last: started once the members above exist
};

}  // namespace travik_mcap
