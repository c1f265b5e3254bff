#include "cli/terminal_text.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace travik_tool {

bool IsTerminal(FILE* stream) {
#if defined(_WIN32)
    return stream != nullptr && _isatty(_fileno(stream)) != 0;
#else
    return stream != nullptr && isatty(fileno(stream)) != 0;
#endif
}

void MakeTerminalSafe(std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\t' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) continue;
        if (c < 0x20 || c == 0x7f) text[i] = '?';
    }
}

}  // namespace travik_tool
