// The few file calls the recording code makes, alike on POSIX and Windows:
// files are binary (no newline translation) and not inherited by child
// processes. Descriptors are C runtime ones (open/_open).
//
// Threads: no state of their own; one descriptor is used by one thread at a
// time (ReadAt moves the file position on Windows). Every call may block on
// the disk; none retries forever (EINTR is retried, nothing else).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace travik_mcap::file_io {

// A run of bytes to write.
struct Piece {
    const uint8_t* data;
    size_t len;
};

// -1 with errno on failure.
int OpenForReading(const std::string& path);
// Created or truncated, mode 0644 where that means something.
int Create(const std::string& path);
int Close(int fd);

// The size of an open regular file; false with errno set (EINVAL when it
// is not a regular file).
bool RegularFileSize(int fd, uint64_t& size);

// Like pread: bytes read (fewer at the end of the file, 0 past it), -1 with errno.
int64_t ReadAt(int fd, uint8_t* out, size_t len, uint64_t offset);

// Like writev: bytes written, perhaps fewer than asked; -1 with errno.
int64_t WriteSome(int fd, const Piece* pieces, size_t count);

}  // namespace travik_mcap::file_io
