// Where a viewer's log texts and images come from: a direct connection to a
// device (live/direct_source.h) or a NATS bridge (nats/client/source.h).
// view, record, web and bridge hold one ViewSource and never ask which.
// Contract: Connect, Up and Release on one host thread; SendWish from any
// thread, never at the same time as Connect or Release (callers serialize
// it with their own lock). The callbacks run on the source's own thread,
// one at a time, and none runs after Release returns: Release must not be
// called from a callback, nor while holding a lock a callback takes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "protocol/channel_rule.h"

namespace travik_tool {

struct AccessUnit;  // video/access_unit.h

// What a viewer asks its device for.
struct SourceWish {
    bool logs = false;
    bool images = true;  // the image stream as a whole; `channels` within it
    bool channels[travik::kImageChannels] = {true, true, true, true};
    // Channels wanted as encoded video from a source that carries it (see
    // ViewSource::SetVideoCb); a source without video ignores them.
    bool video[travik::kImageChannels] = {};
    int intervalMs = 100;
    bool operator==(const SourceWish& o) const {
        for (int c = 0; c < travik::kImageChannels; ++c)
            if (channels[c] != o.channels[c] || video[c] != o.video[c]) return false;
        return logs == o.logs && images == o.images && intervalMs == o.intervalMs;
    }
    bool operator!=(const SourceWish& o) const { return !(*this == o); }
};

// A source whose device the live page picks from a list (NATS without a
// device name). Both calls are non-blocking; DevicesJson on the host thread,
// Pick on any thread.
class DevicePicker {
public:
    virtual ~DevicePicker() = default;
    // {"type":"devices","devices":[{"name","up","ageMs"}],"selected"}.
    virtual std::string DevicesJson() = 0;
    // Takes the page's pick; the source switches to it in its next Up().
    // False with `error` set for a name that cannot be a device.
    virtual bool Pick(const std::string& name, std::string& error) = 0;
};

class ViewSource {
public:
    using LogCb = std::function<void(std::string&)>;
    using ImageCb =
        std::function<void(int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long)>;
    // An access unit of `channel`, already encoded far away; units of one
    // channel arrive in order, and after a gap the next is a keyframe.
    using VideoCb = std::function<void(int channel, const std::shared_ptr<const AccessUnit>& unit)>;

    virtual ~ViewSource() = default;
    // Connects and asks for `wish`. 0, or -1 when the source is unreachable
    // (call Release before the next attempt).
    virtual int Connect(const SourceWish& wish, LogCb log, ImageCb image) = 0;
    // False once the connection is lost (a source that reconnects by itself
    // stays up meanwhile).
    virtual bool Up() = 0;
    // Changes what is asked for. Non-blocking.
    virtual void SendWish(const SourceWish& wish) = 0;
    virtual void Release() = 0;
    // For messages: where it connects to (a device address, nats://HOST/NAME).
    virtual std::string Where() const = 0;
    // The TCP port of the device's stream, for the wire meter; 0: not a
    // direct connection.
    virtual int DevicePort() const { return 0; }
    // Non-null when the page may pick the device (borrowed from the source).
    virtual DevicePicker* Picker() { return nullptr; }

    // Video passed through (a NATS bridge run with --video h264): called
    // before Connect, true when this source may deliver the channels of
    // SourceWish::video as access units on `video` (same thread rules as
    // the other callbacks). A source answers false when it carries no
    // video; the caller then wants images and encodes them itself.
    virtual bool SetVideoCb(VideoCb video) {
        (void)video;
        return false;
    }
    // Whether the far end is known to encode the wished video channels;
    // until it is, and when it does not, those channels arrive as images.
    virtual bool VideoFlowing() { return false; }
    // A watcher of `channel` joined or lost its place: the next unit should
    // be a keyframe. Non-blocking, any thread.
    virtual void RequestKeyframe(int channel) { (void)channel; }
};

}  // namespace travik_tool
