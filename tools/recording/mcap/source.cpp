#include "recording/mcap/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace travik_mcap {

FileSource::~FileSource() {
    if (m_fd >= 0) close(m_fd);
}

bool FileSource::Open(const std::string& path, std::string& error) {
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (m_fd < 0 || fstat(m_fd, &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    m_size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool FileSource::ReadAt(uint64_t offset, uint8_t* out, size_t len) {
    if (offset > m_size || len > m_size - offset) return false;
    while (len > 0) {
        ssize_t n = pread(m_fd, out, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
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
