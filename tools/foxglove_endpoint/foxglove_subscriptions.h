// The subscriptions of one Foxglove client: the subscription id each
// channel is subscribed under, and back. A client's subscribe and
// unsubscribe messages act on it item by item: an item either takes effect
// or is refused and changes nothing, and a message that does not parse
// changes nothing at all.
// Thread: owned by one client session (the server thread); not shared;
// never blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace travik_tool {

class FoxgloveSubscriptions {
public:
    static constexpr uint64_t kNone = ~uint64_t{0};  // wider than any id: a client may use every 32-bit value

    // Channel ids below `channels`; a message names at most that many items.
    explicit FoxgloveSubscriptions(uint32_t channels);

    struct Change {
        uint32_t channel = 0;
        bool subscribed = false;  // else unsubscribed
    };
    // Applies one client text message. Returns false when it does not parse
    // (its reason in `reasons`). Each item that takes effect is appended to
    // `changes`, each refused one's reason to `reasons`. `advertised(c)`
    // says whether channel c < channels is offered.
    bool Apply(const std::string& text, const std::function<bool(uint32_t)>& advertised, std::vector<Change>& changes,
               std::vector<std::string>& reasons);
    // Ends every subscription, appending them to `changes`.
    void Clear(std::vector<Change>& changes);

    uint64_t SubscriptionOf(uint32_t channel) const { return channel < m_idOf.size() ? m_idOf[channel] : kNone; }
    // Subscription id -> channel.
    const std::map<uint32_t, uint32_t>& Channels() const { return m_channelOf; }

private:
    std::vector<uint64_t> m_idOf;              // channel -> subscription id
    std::map<uint32_t, uint32_t> m_channelOf;  // subscription id -> channel
};

}  // namespace travik_tool
