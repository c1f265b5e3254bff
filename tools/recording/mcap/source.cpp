#include "recording/mcap/source.h"

#include <cerrno>
#include <cstring>

#include "recording/mcap/file_io.h"

namespace travik_mcap {

FileSource::~FileSource() {
    if (m_fd >= 0) file_io::Close(m_fd);
}

bool FileSource::Open(const std::string& path, std::string& error) {
    m_fd = file_io::OpenForReading(path);
    if (m_fd < 0 || !file_io::RegularFileSize(m_fd, m_size)) {
        error = path + ": " + (m_fd >= 0 && errno == EINVAL ? std::string("not a regular file") : std::strerror(errno));
        return false;
    }
    return true;
}

bool FileSource::ReadAt(uint64_t offset, uint8_t* out, size_t len) {
    if (offset > m_size || len > m_size - offset) return false;
    while (len > 0) {
        int64_t n = file_io::ReadAt(m_fd, out, len, offset);
        if (n <= 0) return false;
        out += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool MemorySource::ReadAt(uint64_t offset, uint8_t* out, size_t len) {
    if (offset > m_size || len > m_size - offset) return false;
    if (len > 0) std::memcpy(out, m_data + offset, len);
    return true;
}

}  // namespace travik_mcap
