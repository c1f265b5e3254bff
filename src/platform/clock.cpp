// The Windows wall clock; elsewhere it is inline in clock.h.
#include "platform/clock.h"

#if defined(_WIN32)
#include <windows.h>

namespace travik {

int64_t NowMicros() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return WallMicrosFromFileTime((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

}  // namespace travik

#endif
