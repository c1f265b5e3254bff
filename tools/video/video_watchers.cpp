#include "video/video_watchers.h"

#include <utility>

namespace travik_tool {

VideoWatcherSet::VideoWatcherSet(std::vector<VideoWatchers*> members) : m_members(std::move(members)) {}

bool VideoWatcherSet::VideoWatched(int channel) {
    for (VideoWatchers* m : m_members)
        if (m->VideoWatched(channel)) return true;
    return false;
}

bool VideoWatcherSet::TakeKeyframeWanted(int channel) {
    bool wanted = false;
    for (VideoWatchers* m : m_members) wanted = m->TakeKeyframeWanted(channel) || wanted;  // take every request
    return wanted;
}

void VideoWatcherSet::OfferVideo(int channel, std::shared_ptr<const AccessUnit> unit) {
    for (VideoWatchers* m : m_members) m->OfferVideo(channel, unit);
}

}  // namespace travik_tool
