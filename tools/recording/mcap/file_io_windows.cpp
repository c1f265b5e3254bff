#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>

#include "recording/mcap/file_io.h"

namespace travik_mcap::file_io {

int OpenForReading(const std::string& path) { return _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT); }

int Create(const std::string& path) {
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int Close(int fd) { return _close(fd); }

bool RegularFileSize(int fd, uint64_t& size) {
    struct _stat64 st;
    if (_fstat64(fd, &st) != 0) return false;
    if ((st.st_mode & _S_IFMT) != _S_IFREG) {
        errno = EINVAL;
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// No pread: seek, then read (the descriptor is this thread's, see file_io.h).
int64_t ReadAt(int fd, uint8_t* out, size_t len, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
    }
    if (_lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) < 0) return -1;
    // _read takes an unsigned int count.
    unsigned piece = len > (1u << 30) ? (1u << 30) : static_cast<unsigned>(len);
    return _read(fd, out, piece);
}

// No writev: the first piece only (the caller writes the rest next).
int64_t WriteSome(int fd, const Piece* pieces, size_t count) {
    if (count == 0) return 0;
    unsigned piece = pieces[0].len > (1u << 30) ? (1u << 30) : static_cast<unsigned>(pieces[0].len);
    return _write(fd, pieces[0].data, piece);
}

}  // namespace travik_mcap::file_io
