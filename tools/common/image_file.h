// Image files on disk: the tool's attribute convention (attr2 = pixel
// format, attr3 = width, attr4 = height), reading PGM/PPM files for
// `device --images`, writing received images as viewable PGM/PPM (or raw
// .bin) files, and the index.csv that lists them.
// Contract: any host thread, never the library's loop thread: reading and
// writing block on the disk. Functions keep nothing they are given past the
// call; an IndexCsv is used by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace travik_tool {

// attr2 values. Anything else (never 0: the library turns 0 into 1) is an
// opaque byte blob.
constexpr int kFormatGray = 1;  // 8-bit gray, width * height bytes
constexpr int kFormatRgb = 3;   // 8-bit RGB, width * height * 3 bytes
constexpr int kFormatOpaque = 2;

// True when `len` is exactly the pixel bytes of a gray or RGB image of
// width x height.
bool IsPixelImage(int attr2, int width, int height, long long len);
// ".pgm", ".ppm" or ".bin" for an image with these attributes and length.
const char* ExtensionFor(int attr2, int width, int height, long long len);

// Writes one image: PGM/PPM (header plus pixels) when IsPixelImage, else the
// bytes as they are. False with `error` set (the file and the system's
// reason) when any write or the close failed (disk full, file size limit);
// the cut file is removed then.
bool WriteImageFile(const std::string& path, int attr2, int width, int height, const unsigned char* data, int len,
                    std::string& error);

// One file for `device --images`: pixels and attributes of a binary PGM/PPM
// (maxval up to 255), or the whole file as opaque bytes.
struct LoadedImage {
    std::string name;
    int attr2 = kFormatOpaque;
    int width = 0;
    int height = 0;
    std::shared_ptr<unsigned char> data;
    int len = 0;
};

// Parses a binary PNM header in `bytes`; on success sets the format, size
// and the offset of the pixels and checks that enough pixel bytes follow.
bool ParsePnm(const unsigned char* bytes, size_t size, int& attr2, int& width, int& height, size_t& pixelOffset);
// Reads `path`: PNM files become pixel images, other files opaque bytes.
bool LoadImageFile(const std::string& path, LoadedImage& image, std::string& error);
// Regular files of `dir` in name order, loaded. False when none is usable.
bool LoadImageDir(const std::string& dir, std::vector<LoadedImage>& images, std::string& error);

// Creates `dir` (and parents) when missing and removes the files an earlier
// run left there (chN_*.pgm|ppm|bin and index.csv), nothing else.
bool PrepareOutputDir(const std::string& dir, std::string& error);
// "ch2_000017.pgm"
std::string ImageFileName(int channel, uint64_t seq, const char* ext);

// index.csv: one row per saved image. One thread at a time; buffered, so
// a failed write may show only at Close.
class IndexCsv {
public:
    ~IndexCsv();
    bool Open(const std::string& path, std::string& error);
    // `latencyMicros` is written only when `hasLatency`. False once any
    // write has failed (disk full, file size limit).
    bool Row(uint64_t timeMicros, int channel, const int attrs[5], uint64_t tag, int len, bool hasLatency,
             int64_t latencyMicros, const std::string& file);
    // Flushes and closes; false when that or any earlier write failed.
    bool Close();
    const std::string& Path() const { return m_path; }

private:
    FILE* m_file = nullptr;
    std::string m_path;
    bool m_ok = true;
};

}  // namespace travik_tool
