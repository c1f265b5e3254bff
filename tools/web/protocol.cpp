#include "web/protocol.h"

#include <nlohmann/json.hpp>

namespace travik_tool {

namespace {

using nlohmann::json;

void Put32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t Get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Log text from a device is bytes, not necessarily UTF-8: invalid
// sequences become U+FFFD instead of making the serializer throw.
std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

const char* LinkName(DeviceLink link) {
    switch (link) {
        case DeviceLink::Connected:
            return "connected";
        case DeviceLink::Lost:
            return "lost";
        default:
            return "connecting";
    }
}

bool ReadBool(const json& value, const char* name, int& out, std::string& error) {
    if (!value.is_boolean()) {
        error = std::string("'") + name + "' must be true or false";
        return false;
    }
    out = value.get<bool>() ? 1 : 0;
    return true;
}

bool ReadInt(const json& value, const char* name, long long min, long long max, int& out, std::string& error) {
    if (!value.is_number_integer() || value.get<long long>() < min || value.get<long long>() > max) {
        error = std::string("'") + name + "' must be an integer " + std::to_string(min) + ".." + std::to_string(max);
        return false;
    }
    out = static_cast<int>(value.get<long long>());
    return true;
}

}  // namespace

bool WriteImageHeader(const ImageHeader& h, std::string& out) {
    if (!travik::ValidChannel(h.channel)) return false;
    if (out.size() < kImageHeaderBytes) out.resize(kImageHeaderBytes);
    out[0] = 1;
    out[1] = static_cast<char>(h.channel);
    out[2] = static_cast<char>(h.encoding);
    out[3] = static_cast<char>(h.keyframe ? 1 : 0);
    Put32(out, 4, h.sequence);
    Put32(out, 8, h.width);
    Put32(out, 12, h.height);
    Put32(out, 16, static_cast<uint32_t>(h.attr2));
    Put32(out, 20, h.rawLength);
    Put32(out, 24, static_cast<uint32_t>(h.tag));
    Put32(out, 28, static_cast<uint32_t>(h.tag >> 32));
    Put32(out, 32, h.encodeMicros);
    Put32(out, 36, 0);
    return true;
}

bool ReadImageHeader(const unsigned char* p, size_t size, ImageHeader& h) {
    if (!p || size < kImageHeaderBytes || p[0] != 1 || !travik::ValidChannel(p[1])) return false;
    h.channel = p[1];
    h.encoding = static_cast<WebEncoding>(p[2]);
    h.sequence = Get32(p + 4);
    h.width = Get32(p + 8);
    h.height = Get32(p + 12);
    h.attr2 = static_cast<int32_t>(Get32(p + 16));
    h.rawLength = Get32(p + 20);
    h.tag = static_cast<uint64_t>(Get32(p + 24)) | static_cast<uint64_t>(Get32(p + 28)) << 32;
    h.encodeMicros = Get32(p + 32);
    h.keyframe = (p[3] & 1) != 0;
    return true;
}

bool ParseVideoCommand(const std::string& text, VideoCommand& command, bool& valid, std::string& error) {
    command = VideoCommand();
    valid = false;
    if (text.size() > kMaxCommandBytes) return false;
    const json msg = json::parse(text, nullptr, false);
    if (msg.is_discarded() || !msg.is_object()) return false;
    auto type = msg.find("type");
    if (type == msg.end() || !type->is_string() || type->get<std::string>() != "video") return false;
    int channel = -1, on = -1;
    for (auto it = msg.begin(); it != msg.end(); ++it) {
        const std::string& key = it.key();
        bool ok = true;
        if (key == "type") continue;
        if (key == "channel") {
            ok = ReadInt(it.value(), "channel", 0, travik::kImageChannels - 1, channel, error);
        } else if (key == "on") {
            ok = ReadBool(it.value(), "on", on, error);
        } else {
            error = "unknown field '" + key.substr(0, 40) + "'";
            ok = false;
        }
        if (!ok) return true;
    }
    if (channel < 0 || on < 0) {
        error = "video needs 'channel' and 'on'";
        return true;
    }
    command.channel = channel;
    command.on = on == 1;
    valid = true;
    return true;
}

bool ParsePageCommand(const std::string& text, PageCommand& command, std::string& error) {
    command = PageCommand();
    if (text.size() > kMaxCommandBytes) {
        error = "message too long";
        return false;
    }
    // No exceptions: a parse failure gives a discarded value.
    const json msg = json::parse(text, nullptr, false);
    if (msg.is_discarded() || !msg.is_object()) {
        error = "not a JSON object";
        return false;
    }
    auto type = msg.find("type");
    if (type == msg.end() || !type->is_string() || type->get<std::string>() != "command") {
        error = "'type' must be \"command\"";
        return false;
    }
    for (auto it = msg.begin(); it != msg.end(); ++it) {
        const std::string& key = it.key();
        bool ok = true;
        if (key == "type") continue;
        if (key == "logs") {
            ok = ReadBool(it.value(), "logs", command.logs, error);
        } else if (key == "images") {
            ok = ReadBool(it.value(), "images", command.images, error);
        } else if (key == "channel") {
            ok = ReadInt(it.value(), "channel", 0, travik::kImageChannels - 1, command.channel, error);
        } else if (key == "on") {
            ok = ReadBool(it.value(), "on", command.on, error);
        } else if (key == "interval") {
            ok = ReadInt(it.value(), "interval", 1, kMaxIntervalMs, command.intervalMs, error);
        } else {
            error = "unknown field '" + key.substr(0, 40) + "'";
            ok = false;
        }
        if (!ok) return false;
    }
    if ((command.channel >= 0) != (command.on >= 0)) {
        error = "'channel' and 'on' go together";
        return false;
    }
    if (command.logs < 0 && command.images < 0 && command.channel < 0 && command.intervalMs < 0) {
        error = "a command needs logs, images, channel+on or interval";
        return false;
    }
    return true;
}

bool ApplyCommand(const PageCommand& c, DeviceWish& wish) {
    if (c.channel != -1 && !travik::ValidChannel(c.channel)) return false;
    if (c.logs >= 0) wish.logs = c.logs == 1;
    if (c.images >= 0) wish.images = c.images == 1;
    if (c.channel >= 0) wish.channels[c.channel] = c.on == 1;
    if (c.intervalMs > 0) wish.intervalMs = c.intervalMs;
    return true;
}

bool ParseServiceCommand(const std::string& text, ServiceCommand& command, std::string& error) {
    command = ServiceCommand();
    if (text.size() > kMaxCommandBytes) {
        error = "request too long";
        return false;
    }
    const json msg = json::parse(text.empty() ? std::string("{}") : text, nullptr, false);
    if (msg.is_discarded() || !msg.is_object()) {
        error = "the request must be a JSON object";
        return false;
    }
    for (auto it = msg.begin(); it != msg.end(); ++it) {
        const std::string& key = it.key();
        bool ok = true;
        if (key == "logs") {
            ok = ReadBool(it.value(), "logs", command.logs, error);
        } else if (key == "images") {
            ok = ReadBool(it.value(), "images", command.images, error);
        } else if (key == "interval") {
            ok = ReadInt(it.value(), "interval", 1, kMaxIntervalMs, command.intervalMs, error);
        } else if (key == "channels") {
            ok = it.value().is_array() && it.value().size() <= travik::kImageChannels;
            command.channelMask = 0;
            for (size_t i = 0; ok && i < it.value().size(); ++i) {
                int channel = -1;
                ok = ReadInt(it.value()[i], "channels[]", 0, travik::kImageChannels - 1, channel, error);
                if (ok) command.channelMask |= 1 << channel;
            }
            if (!ok && error.empty())
                error = "'channels' must be a list of channel numbers 0.." + std::to_string(travik::kImageChannels - 1);
        } else {
            error = "unknown field '" + key.substr(0, 40) + "'";
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

void ApplyServiceCommand(const ServiceCommand& c, DeviceWish& wish) {
    if (c.logs >= 0) wish.logs = c.logs == 1;
    if (c.images >= 0) wish.images = c.images == 1;
    if (c.channelMask >= 0)
        for (int ch = 0; ch < travik::kImageChannels; ++ch) wish.channels[ch] = (c.channelMask >> ch & 1) != 0;
    if (c.intervalMs > 0) wish.intervalMs = c.intervalMs;
}

std::string ServiceStateJson(DeviceLink link, const DeviceWish& wish) {
    json channels = json::array();
    for (int c = 0; c < travik::kImageChannels; ++c)
        if (wish.channels[c]) channels.push_back(c);
    return Dump({{"connected", link == DeviceLink::Connected},
                 {"logs", wish.logs},
                 {"images", wish.images},
                 {"channels", channels},
                 {"interval", wish.intervalMs}});
}

std::string HelloJson(const std::string& device, int quality, bool lossless, const std::string& video) {
    json j = {{"type", "hello"}, {"device", device}, {"quality", quality}, {"lossless", lossless}, {"video", video}};
    return Dump(j);
}

std::string StateJson(DeviceLink link, const std::string& device, const DeviceWish& wish) {
    json channels = json::array();
    for (bool on : wish.channels) channels.push_back(on);
    json j = {{"type", "state"},
              {"device", device},
              {"link", LinkName(link)},
              {"sent",
               {{"logs", wish.logs}, {"images", wish.images}, {"channels", channels}, {"interval", wish.intervalMs}}}};
    return Dump(j);
}

std::string LogsJson(const std::string* lines, size_t count, uint64_t dropped) {
    json arr = json::array();
    for (size_t i = 0; i < count; ++i) arr.push_back(lines[i]);
    json j = {{"type", "logs"}, {"lines", std::move(arr)}, {"dropped", dropped}};
    return Dump(j);
}

std::string ErrorJson(const std::string& message) { return Dump(json{{"type", "error"}, {"message", message}}); }

}  // namespace travik_tool
