// Random access to the bytes of a recording, for the reader.
//
// Threads: a Source belongs to one thread at a time. ReadAt blocks on the
// disk (FileSource) and never reads outside the file or the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace travik_mcap {

class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly `len` bytes at `offset`; false when they are not there.
    virtual bool ReadAt(uint64_t offset, uint8_t* out, size_t len) = 0;
};

// A regular file, opened read-only; closed with the object.
class FileSource : public Source {
public:
    ~FileSource() override;
    bool Open(const std::string& path, std::string& error);
    uint64_t Size() const override { return m_size; }
    bool ReadAt(uint64_t offset, uint8_t* out, size_t len) override;

private:
    int m_fd = -1;
    uint64_t m_size = 0;
};

// Borrows `data`, which must outlive the object and not change meanwhile.
class MemorySource : public Source {
public:
    MemorySource(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint64_t Size() const override { return m_size; }
    bool ReadAt(uint64_t offset, uint8_t* out, size_t len) override;

private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace travik_mcap
