#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "recording/mcap/file_io.h"

namespace travik_mcap::file_io {

int OpenForReading(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }

int Create(const std::string& path) { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }

int Close(int fd) { return close(fd); }

bool RegularFileSize(int fd, uint64_t& size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

int64_t ReadAt(int fd, uint8_t* out, size_t len, uint64_t offset) {
    for (;;) {
        ssize_t n = pread(fd, out, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int64_t WriteSome(int fd, const Piece* pieces, size_t count) {
    iovec iov[IOV_MAX < 16 ? IOV_MAX : 16];
    size_t n = 0;
    for (; n < count && n < sizeof iov / sizeof iov[0]; ++n) {
        iov[n].iov_base = const_cast<uint8_t*>(pieces[n].data);
        iov[n].iov_len = pieces[n].len;
    }
    for (;;) {
        ssize_t w = writev(fd, iov, static_cast<int>(n));
        if (w < 0 && errno == EINTR) continue;
        return w;
    }
}

}  // namespace travik_mcap::file_io
