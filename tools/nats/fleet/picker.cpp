#include "nats/fleet/picker.h"

#include <nlohmann/json.hpp>

#include "cli/console.h"
#include "nats/client/protocol.h"

namespace travik_nats {

namespace {
constexpr int kStatusPendingMsgs = 1024;
constexpr int kStatusPendingBytes = 1 << 20;
}  // namespace

PickerSource::PickerSource(std::string url, LinkOptions link, std::string name)
    : m_url(std::move(url)),
      m_link(std::move(link)),
      m_devices(kMaxDevices, std::chrono::milliseconds(kForgetMs)),
      m_wanted(std::move(name)) {
    m_link.urls = {m_url};
    m_link.who = "travik web";
}

PickerSource::~PickerSource() { Release(); }

int PickerSource::Connect(const travik_tool::SourceWish& wish, LogCb log, ImageCb image) {
    m_log = std::move(log);
    m_image = std::move(image);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wish = wish;
    }
    std::string error;
    if (!m_status.Connect(m_link, error) ||
        !m_status.Subscribe(
            std::string(kSubjectRoot) + ".*.status",
            [this](const LinkMessage& msg) { m_devices.Hear(msg.subject, msg.data, msg.size); }, kStatusPendingMsgs,
            kStatusPendingBytes, error)) {
        travik_tool::Status("travik web: %s (%s)", error.c_str(), Redacted(m_url).c_str());
        return -1;
    }
    std::string wanted;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wanted = m_wanted;
    }
    return Show(wanted) ? 0 : -1;
}

bool PickerSource::Up() {
    if (!m_status.Up()) return false;
    std::string wanted;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wanted = m_wanted;
        if (wanted == m_showing) return m_viewer == nullptr || m_viewer->Up();
    }
    return Show(wanted);
}

bool PickerSource::Show(const std::string& name) {
    std::unique_ptr<NatsViewer> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old.swap(m_viewer);
        m_showing = name;
    }
    // Outside the lock: a callback still running may wait on a lock of the
    // host that a SendWish caller holds.
    if (old) old->Release();
    if (name.empty()) return true;
    travik_tool::SourceWish wish;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wish = m_wish;
    }
    auto viewer = std::make_unique<NatsViewer>(m_url, name, m_link);
    if (m_video) viewer->SetVideoCb(m_video);
    if (viewer->Connect(wish, m_log, m_image) != 0) {
        viewer->Release();
        return false;
    }
    travik_tool::Status("travik web: showing %s", viewer->Where().c_str());
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_wish != wish) viewer->SendWish(m_wish);
    m_viewer = std::move(viewer);
    return true;
}

void PickerSource::SendWish(const travik_tool::SourceWish& wish) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wish = wish;
    if (m_viewer) m_viewer->SendWish(wish);
}

bool PickerSource::SetVideoCb(VideoCb video) {
#if TRAVIK_NATS_VIDEO
    m_video = std::move(video);
    return true;
#else
    (void)video;
    return false;  // as NatsViewer in a build without the tool's video
#endif
}

bool PickerSource::VideoFlowing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_viewer != nullptr && m_viewer->VideoFlowing();
}

void PickerSource::RequestKeyframe(int channel) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_viewer) m_viewer->RequestKeyframe(channel);
}

void PickerSource::Release() {
    std::unique_ptr<NatsViewer> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old.swap(m_viewer);
        m_showing.clear();
    }
    if (old) old->Release();
    m_status.Close();
}

std::string PickerSource::Where() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Before the first Up, the device it will show.
    const std::string& name = m_showing.empty() ? m_wanted : m_showing;
    return Redacted(m_url) + (name.empty() ? std::string(" (pick a device)") : "/" + name);
}

std::string PickerSource::DevicesJson() {
    using json = nlohmann::json;
    json list = json::array();
    for (const DeviceList::Device& d : m_devices.Snapshot())
        list.push_back({{"name", d.status.name}, {"up", d.status.up}, {"ageMs", d.ageMs}});
    std::string selected;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        selected = m_wanted;
    }
    const json msg = {{"type", "devices"}, {"devices", list}, {"selected", selected}};
    return msg.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool PickerSource::Pick(const std::string& name, std::string& error) {
    if (!ValidName(name)) {
        error = "select needs the name of a device";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wanted = name;
    return true;
}

}  // namespace travik_nats
