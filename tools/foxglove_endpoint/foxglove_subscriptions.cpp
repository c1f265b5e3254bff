#include "foxglove_endpoint/foxglove_subscriptions.h"

#include "foxglove_endpoint/foxglove_protocol.h"

namespace travik_tool {

FoxgloveSubscriptions::FoxgloveSubscriptions(uint32_t channels) : m_idOf(channels, kNone) {}

bool FoxgloveSubscriptions::Apply(const std::string& text, const std::function<bool(uint32_t)>& advertised,
                                  std::vector<Change>& changes, std::vector<std::string>& reasons) {
    FoxgloveClientOp op;
    std::string error;
    if (!ParseFoxgloveClientText(text, m_idOf.size(), op, error)) {
        reasons.push_back(error);
        return false;
    }
    if (op.kind == FoxgloveClientOp::Subscribe) {
        for (const auto& [id, channel] : op.subscriptions) {
            if (channel >= m_idOf.size() || !advertised(channel)) {
                reasons.push_back("no channel " + std::to_string(channel));
            } else if (m_idOf[channel] != kNone) {
                reasons.push_back("channel " + std::to_string(channel) + " is already subscribed");
            } else if (m_channelOf.count(id)) {
                reasons.push_back("subscription id " + std::to_string(id) + " is in use");
            } else {
                m_idOf[channel] = id;
                m_channelOf[id] = channel;
                changes.push_back(Change{channel, true});
            }
        }
        return true;
    }
    for (uint32_t id : op.unsubscribe) {
        auto found = m_channelOf.find(id);
        if (found == m_channelOf.end()) {
            reasons.push_back("no subscription " + std::to_string(id));
            continue;
        }
        m_idOf[found->second] = kNone;
        changes.push_back(Change{found->second, false});
        m_channelOf.erase(found);
    }
    return true;
}

void FoxgloveSubscriptions::Clear(std::vector<Change>& changes) {
    for (const auto& [id, channel] : m_channelOf) {
        m_idOf[channel] = kNone;
        changes.push_back(Change{channel, false});
    }
    m_channelOf.clear();
}

}  // namespace travik_tool
