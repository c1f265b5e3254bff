// Log text cut into lines and kept in a bounded queue: the oldest lines go
// first once there are more than `maxLines` of them or more than `maxBytes`
// in all.
// Contract: no lock of its own; the owner serialises every call (the web
// server and the Python inbox hold their inbox lock). Borrows nothing:
// Push copies the text it is given. Never blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <utility>

namespace travik_tool {

class BoundedLines {
public:
    static constexpr size_t kNoByteLimit = std::numeric_limits<size_t>::max();

    // `stripCr`: a '\r' that ends a line is removed too.
    BoundedLines(size_t maxLines, size_t maxBytes, bool stripCr) noexcept
        : m_maxLines(maxLines), m_maxBytes(maxBytes), m_stripCr(stripCr) {}

    // Splits `text` at '\n' (line ends removed; a last piece without one is
    // a line too), queues the lines and drops the oldest beyond the bounds.
    // Returns how many lines were dropped.
    uint64_t Push(const std::string& text) {
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            const size_t stop = end == std::string::npos ? text.size() : end;
            size_t len = stop - start;
            if (m_stripCr && len > 0 && text[stop - 1] == '\r') --len;
            m_lines.emplace_back(text, start, len);
            m_bytes += len;
            start = end == std::string::npos ? text.size() : end + 1;
        }
        uint64_t dropped = 0;
        while (m_lines.size() > m_maxLines || m_bytes > m_maxBytes) {
            m_bytes -= m_lines.front().size();
            m_lines.pop_front();
            ++dropped;
        }
        return dropped;
    }

    // The oldest line; false when there is none.
    bool Pop(std::string& out) {
        if (m_lines.empty()) return false;
        out = std::move(m_lines.front());
        m_lines.pop_front();
        m_bytes -= out.size();
        return true;
    }

    // Hands over every queued line, oldest first.
    std::deque<std::string> TakeAll() {
        std::deque<std::string> out;
        out.swap(m_lines);
        m_bytes = 0;
        return out;
    }

    void Clear() {
        m_lines.clear();
        m_bytes = 0;
    }

private:
    size_t m_maxLines;
    size_t m_maxBytes;
    bool m_stripCr;
    std::deque<std::string> m_lines;
    size_t m_bytes = 0;
};

}  // namespace travik_tool
