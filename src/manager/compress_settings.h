// The manager's compression settings as the send thread uses them.
#pragma once

#include "manager/compress_pool.h"
#include "protocol/frame_writer.h"
#include "travik/travik.h"

namespace travik {

// Host thread, in Listen: applies TRAVIK_COMPRESS_LEVEL and
// TRAVIK_COMPRESS_THREADS when set; an invalid value is reported on one
// line and ignored.
void ApplyCompressionEnvironment(TravikMgr& mgr);

// Any thread, non-blocking: the settings for the next frame, with a runner
// that spreads pieces over the manager's workers when threads > 1.
CompressOptions CompressOptionsOf(TravikMgr& mgr);

}  // namespace travik
