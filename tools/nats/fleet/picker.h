// The source of `travik web nats://HOST[:PORT][/NAME]`: the device the
// page picks from the bridges' status (NAME, when given, from the start),
// viewed through a NatsViewer that is replaced when the pick changes.
// Contract: see ViewSource and DevicePicker. The switch to a new pick
// happens in Up, on the host thread; the status handler runs on the client
// library's thread and only touches the DeviceList.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "cli/view_source.h"
#include "nats/client/link.h"
#include "nats/client/source.h"
#include "nats/fleet/device_list.h"

namespace travik_nats {

class PickerSource : public travik_tool::ViewSource, public travik_tool::DevicePicker {
public:
    // Listed at most, and how long a silent device stays listed.
    static constexpr size_t kMaxDevices = 1000;
    static constexpr int64_t kForgetMs = 60000;

    PickerSource(std::string url, LinkOptions link, std::string name);
    ~PickerSource() override;

    int Connect(const travik_tool::SourceWish& wish, LogCb log, ImageCb image) override;
    bool Up() override;
    void SendWish(const travik_tool::SourceWish& wish) override;
    void Release() override;
    std::string Where() const override;
    travik_tool::DevicePicker* Picker() override { return this; }
    // Passed on to the viewer of the device shown (and the next one picked).
    bool SetVideoCb(VideoCb video) override;
    bool VideoFlowing() override;
    void RequestKeyframe(int channel) override;

    std::string DevicesJson() override;
    bool Pick(const std::string& name, std::string& error) override;

private:
    bool Show(const std::string& name);

    const std::string m_url;
    LinkOptions m_link;
    NatsLink m_status;
    DeviceList m_devices;
    LogCb m_log;      // host thread
    ImageCb m_image;  // host thread
    VideoCb m_video;  // host thread, set before Connect

    mutable std::mutex m_mutex;            // below
    std::string m_wanted;                  // the page's pick
    std::string m_showing;                 // what m_viewer shows (written on the host thread)
    travik_tool::SourceWish m_wish;        // what the page asks for
    std::unique_ptr<NatsViewer> m_viewer;  // replaced on the host thread; SendWish under the lock
};

}  // namespace travik_nats
