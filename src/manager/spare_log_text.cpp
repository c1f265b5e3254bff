#include "manager/spare_log_text.h"

namespace travik {

void SpareLogText::Give(std::string& text) noexcept {
    text.clear();
    const size_t capacity = text.capacity();
    if (capacity < kMinKept || capacity > kMaxKept) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (capacity > m_spare.capacity()) m_spare.swap(text);
}

void SpareLogText::Take(std::string& text) noexcept {
    if (!text.empty()) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_spare.capacity() > text.capacity()) text.swap(m_spare);
}

}  // namespace travik
