// Process-wide figure of bytes handed to the transports, printed about every
// three seconds. Shared by every endpoint, so it has a lock of its own.
// Contract: any thread (each endpoint's loop thread calls it per send);
// borrows nothing; takes only its own short lock, held while it adds and
// at most one diagnostic line is printed.
#pragma once

namespace travik {

void CountSentBytes(int len);

}  // namespace travik
