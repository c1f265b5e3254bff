// The devices heard from on a cluster: each bridge's last status and when
// it arrived. Ages come from this host's clock, never from the bridge's
// (a status dated in the future must still grow old); a device silent
// for `forget` leaves the list, and a full list makes room for a new name
// by dropping the one heard from longest ago, so no flood of names keeps a
// real bridge out for longer than one of its status periods.
// Contract: any thread (one internal lock); nothing blocks.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "nats/client/protocol.h"

namespace travik_nats {

class DeviceList {
public:
    using Clock = std::chrono::steady_clock;

    DeviceList(size_t capacity, std::chrono::milliseconds forget);

    // A message on `subject` (travik.v1.NAME.status). False when it is not a
    // well-formed status of the device its subject names.
    bool Hear(const char* subject, const char* data, int len);

    struct Device {
        Status status;
        int64_t ageMs = 0;  // since its last status arrived here
    };
    // By name; the silent ones are forgotten first.
    std::vector<Device> Snapshot();

private:
    struct Entry {
        Status status;
        Clock::time_point heard;
    };
    void ForgetSilentLocked(Clock::time_point now);

    const size_t m_capacity;
    const std::chrono::milliseconds m_forget;
    std::mutex m_mutex;
    std::map<std::string, Entry> m_devices;
};

}  // namespace travik_nats
