// Where a viewer's log texts and images come from when it is not a direct
// connection to a device (a NATS bridge, for one): the same callbacks as
// TravikMgr's, the same wish as its command.
// Contract: Connect, Up, SendWish and Release on one host thread; the
// callbacks run on the source's own delivery thread, one at a time, and
// none runs after Release returns.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace travik_tool {

struct SourceWish {
    bool logs = false;
    bool channels[4] = {true, true, true, true};
    int intervalMs = 100;
};

class ViewSource {
public:
    using LogCb = std::function<void(std::string&)>;
    using ImageCb =
        std::function<void(int, int, int, int, int, std::shared_ptr<unsigned char>&, int, unsigned long long)>;

    virtual ~ViewSource() = default;
    // Connects and asks for `wish`. 0, or -1 when the source is unreachable.
    virtual int Connect(const SourceWish& wish, LogCb log, ImageCb image) = 0;
    // False once the source is lost for good (a source that reconnects by
    // itself stays up meanwhile).
    virtual bool Up() = 0;
    // Changes what is asked for. Non-blocking.
    virtual void SendWish(const SourceWish& wish) = 0;
    virtual void Release() = 0;
    // For messages: where it connects to.
    virtual std::string Where() const = 0;
};

}  // namespace travik_tool
