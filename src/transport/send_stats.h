// Process-wide figure of bytes handed to the transports, printed about every
// three seconds. Shared by every endpoint, so it has a lock of its own.
#pragma once

namespace travik {

void CountSentBytes(int len);

}  // namespace travik
