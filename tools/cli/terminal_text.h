// Text from outside (a device's log lines, any NATS publisher's) printed on
// a terminal: its control bytes would move the cursor, retitle the window
// or rewrite what is shown, so there each is shown as '?'. Into a file or a
// pipe the text goes as it came.
// Contract: any thread; neither blocks.
#pragma once

#include <cstdio>
#include <string>

namespace travik_tool {

bool IsTerminal(FILE* stream);

// Bytes below 0x20 other than line feed and tab, a carriage return not
// followed by a line feed, and DEL become '?'. Other bytes (UTF-8 included)
// stay.
void MakeTerminalSafe(std::string& text);

}  // namespace travik_tool
