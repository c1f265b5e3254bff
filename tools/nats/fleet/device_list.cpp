#include "nats/fleet/device_list.h"

namespace travik_nats {

DeviceList::DeviceList(size_t capacity, std::chrono::milliseconds forget) : m_capacity(capacity), m_forget(forget) {}

bool DeviceList::Hear(const char* subject, const char* data, int len) {
    std::string name;
    Status s;
    if (subject == nullptr || data == nullptr || len <= 0 || !NameOfStatusSubject(subject, name) ||
        !ParseStatus(std::string(data, static_cast<size_t>(len)), s) || s.name != name)
        return false;
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_devices.count(name) == 0 && m_devices.size() >= m_capacity) {
        ForgetSilentLocked(now);
        if (m_devices.size() >= m_capacity) {
            auto oldest = m_devices.begin();
            for (auto it = m_devices.begin(); it != m_devices.end(); ++it)
                if (it->second.heard < oldest->second.heard) oldest = it;
            m_devices.erase(oldest);
        }
    }
    m_devices[name] = Entry{std::move(s), now};
    return true;
}

void DeviceList::ForgetSilentLocked(Clock::time_point now) {
    for (auto it = m_devices.begin(); it != m_devices.end();)
        it = now - it->second.heard > m_forget ? m_devices.erase(it) : std::next(it);
}

std::vector<DeviceList::Device> DeviceList::Snapshot() {
    const auto now = Clock::now();
    std::vector<Device> out;
    std::lock_guard<std::mutex> lock(m_mutex);
    ForgetSilentLocked(now);
    out.reserve(m_devices.size());
    for (const auto& entry : m_devices) {
        Device d;
        d.status = entry.second.status;
        d.ageMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - entry.second.heard).count();
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace travik_nats
