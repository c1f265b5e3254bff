// The seam between what makes H.264 access units and who watches them.
//
// Consumers (the page's server, the Foxglove relay) implement
// VideoWatchers: they say which channels someone watches as video and
// which need a keyframe (a watcher joined, or lost a unit and waits for
// the next keyframe), and take the units. A producer polls them and feeds
// them:
//   - VideoEncoderHub (video_hub.h) encodes the device's images locally;
//   - a pass-through source (units encoded elsewhere, e.g. a bridge) does
//     the same without an encoder: while VideoWatched(c), lease channel c's
//     units; when TakeKeyframeWanted(c), ask upstream for a keyframe; hand
//     every unit to OfferVideo(c, unit) unchanged, in stream order.
// A producer must never skip a unit silently while a channel is watched:
// consumers rely on the order to decode; one that cannot deliver a unit
// stops and sends a keyframe next.
//
// Threads: every member may be called from any thread and never blocks
// on the network; OfferVideo for one channel from one thread at a time.
#pragma once

#include <memory>
#include <vector>

#include "video/access_unit.h"

namespace travik_tool {

class VideoWatchers {
public:
    virtual ~VideoWatchers() = default;
    // Someone watches `channel` (0..kImageChannels-1) as video now.
    virtual bool VideoWatched(int channel) = 0;
    // True once per request (it clears the request).
    virtual bool TakeKeyframeWanted(int channel) = 0;
    // One unit of `channel`'s stream; shared, never changed.
    virtual void OfferVideo(int channel, std::shared_ptr<const AccessUnit> unit) = 0;
};

// Several consumers as one: watched when any watches, a keyframe when
// any wants one (every request is taken), each unit to all of them.
// The members are borrowed and must outlive the set; fixed once built.
class VideoWatcherSet : public VideoWatchers {
public:
    explicit VideoWatcherSet(std::vector<VideoWatchers*> members);
    bool VideoWatched(int channel) override;
    bool TakeKeyframeWanted(int channel) override;
    void OfferVideo(int channel, std::shared_ptr<const AccessUnit> unit) override;

private:
    const std::vector<VideoWatchers*> m_members;
};

}  // namespace travik_tool
