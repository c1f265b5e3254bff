// `travik list nats://HOST[:PORT]`: the devices whose bridges publish their
// status, heard for a moment, with the age of each one's last status here.
#include <chrono>
#include <cinttypes>
#include <vector>

#include "cli/console.h"
#include "nats/client/link.h"
#include "nats/client/protocol.h"
#include "nats/client/source.h"
#include "nats/fleet/commands.h"
#include "nats/fleet/device_list.h"

namespace travik_nats {

namespace {
constexpr size_t kMaxDevices = 10000;
constexpr int64_t kForgetMs = 60000;
}  // namespace

int RunList(const ListOptions& o, travik_tool::StopSignal& stop, FILE* out) {
    std::string url, name;
    if (!ParseNatsTarget(o.target, url, name, true) || !name.empty()) {
        travik_tool::Status("travik list: bad address '%s' (expected nats://HOST[:PORT])", Redacted(o.target).c_str());
        return 2;
    }
    LinkOptions link;
    link.urls = {url};
    link.credsFile = o.creds;
    link.tlsCaFile = o.tlsCa;
    link.who = "travik list";
    NatsLink nats;
    std::string error;
    DeviceList devices(kMaxDevices, std::chrono::milliseconds(kForgetMs));
    if (!nats.Connect(link, error) ||
        !nats.Subscribe(
            std::string(kSubjectRoot) + ".*.status",
            [&](const LinkMessage& msg) { devices.Hear(msg.subject, msg.data, msg.size); }, 1024, 1 << 20, error)) {
        if (stop.Requested()) return 0;  // Ctrl-C while waiting for the server, as `view` ends then
        travik_tool::Status("travik list: %s (%s)", error.c_str(), Redacted(url).c_str());
        return 1;
    }
    stop.WaitFor(std::chrono::milliseconds(static_cast<int64_t>(o.wait * 1000)));
    nats.Close();
    std::fprintf(out, "%-24s %-21s %-6s %-9s %-9s %-5s %-7s %s\n", "NAME", "DEVICE", "DEVICE", "CHANNELS", "INTERVAL",
                 "LOGS", "VIEWERS", "AGE");
    const std::vector<DeviceList::Device> heard = devices.Snapshot();
    for (const DeviceList::Device& d : heard) {
        const Status& s = d.status;
        const int64_t age = d.ageMs;
        std::fprintf(out, "%-24s %-21s %-6s %-9s %-9d %-5s %-7d %.1fs\n", s.name.c_str(), s.device.c_str(),
                     s.up ? "up" : "down", FormatChannels(s.sending.channels).c_str(), s.sending.intervalMs,
                     s.sending.logs ? "on" : "off", s.leases, static_cast<double>(age < 0 ? 0 : age) / 1000.0);
    }
    std::fflush(out);
    if (heard.empty()) travik_tool::Status("travik list: no bridge published a status on %s", Redacted(url).c_str());
    return 0;
}

}  // namespace travik_nats
