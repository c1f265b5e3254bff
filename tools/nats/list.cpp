// `travik list nats://HOST[:PORT]`: the devices whose bridges publish their
// status, heard for a moment, with the age of each one's last status.
#include <chrono>
#include <cinttypes>
#include <map>
#include <mutex>

#include "cli/console.h"
#include "nats/commands.h"
#include "nats/link.h"
#include "nats/protocol.h"
#include "nats/source.h"
#include "platform/clock.h"

namespace travik_nats {

namespace {
constexpr size_t kMaxDevices = 10000;
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
    std::mutex mutex;
    std::map<std::string, Status> devices;
    if (!nats.Connect(link, error) || !nats.Subscribe(
                                          std::string(kSubjectRoot) + ".*.status",
                                          [&](natsMsg* msg) {
                                              std::string subjectName;
                                              Status s;
                                              const std::string text(natsMsg_GetData(msg),
                                                                     static_cast<size_t>(natsMsg_GetDataLength(msg)));
                                              if (!NameOfStatusSubject(natsMsg_GetSubject(msg), subjectName) ||
                                                  !ParseStatus(text, s) || s.name != subjectName)
                                                  return;
                                              std::lock_guard<std::mutex> lock(mutex);
                                              if (devices.size() < kMaxDevices || devices.count(s.name))
                                                  devices[s.name] = s;
                                          },
                                          1024, 1 << 20, error)) {
        travik_tool::Status("travik list: %s (%s)", error.c_str(), Redacted(url).c_str());
        return 1;
    }
    stop.WaitFor(std::chrono::milliseconds(static_cast<int64_t>(o.wait * 1000)));
    nats.Close();
    const int64_t now = travik::NowMicros() / 1000;
    std::fprintf(out, "%-24s %-21s %-6s %-9s %-9s %-5s %-7s %s\n", "NAME", "DEVICE", "DEVICE", "CHANNELS", "INTERVAL",
                 "LOGS", "VIEWERS", "AGE");
    for (const auto& entry : devices) {
        const Status& s = entry.second;
        const int64_t age = now - static_cast<int64_t>(s.timeMs);
        std::fprintf(out, "%-24s %-21s %-6s %-9s %-9d %-5s %-7d %.1fs\n", s.name.c_str(), s.device.c_str(),
                     s.up ? "up" : "down", FormatChannels(s.sending.channels).c_str(), s.sending.intervalMs,
                     s.sending.logs ? "on" : "off", s.leases, static_cast<double>(age < 0 ? 0 : age) / 1000.0);
    }
    std::fflush(out);
    if (devices.empty()) travik_tool::Status("travik list: no bridge published a status on %s", Redacted(url).c_str());
    return 0;
}

std::unique_ptr<travik_tool::ViewSource> MakeSource(const std::string& target, const std::string& creds,
                                                    const std::string& tlsCa) {
    std::string url, name;
    if (!ParseNatsTarget(target, url, name)) {
        travik_tool::Status("travik: bad address '%s' (expected nats://HOST[:PORT]/NAME)", Redacted(target).c_str());
        return nullptr;
    }
    LinkOptions link;
    link.credsFile = creds;
    link.tlsCaFile = tlsCa;
    return std::make_unique<NatsViewer>(url, name, link);
}

}  // namespace travik_nats
