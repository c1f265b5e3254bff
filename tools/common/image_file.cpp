#include "common/image_file.h"

#include <dirent.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace travik_tool {

bool IsPixelImage(int attr2, int width, int height, long long len) {
    if (width <= 0 || height <= 0) return false;
    long long pixels = static_cast<long long>(width) * height;
    if (attr2 == kFormatGray) return len == pixels;
    // Divided, not multiplied: pixels * 3 overflows for hostile sizes.
    if (attr2 == kFormatRgb) return len % 3 == 0 && len / 3 == pixels;
    return false;
}

const char* ExtensionFor(int attr2, int width, int height, long long len) {
    if (!IsPixelImage(attr2, width, height, len)) return ".bin";
    return attr2 == kFormatGray ? ".pgm" : ".ppm";
}

bool WriteImageFile(const std::string& path, int attr2, int width, int height, const unsigned char* data, int len,
                    std::string& error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    errno = 0;
    if (IsPixelImage(attr2, width, height, len)) {
        ok = std::fprintf(f, "P%c\n%d %d\n255\n", attr2 == kFormatGray ? '5' : '6', width, height) > 0;
    }
    if (ok && len > 0) ok = std::fwrite(data, 1, static_cast<size_t>(len), f) == static_cast<size_t>(len);
    int err = errno;
    // Buffered bytes reach the disk only here: a full disk may show now.
    if (std::fclose(f) != 0) {
        if (ok) err = errno;
        ok = false;
    }
    if (!ok) {
        error = path + ": write failed" + (err ? std::string(": ") + std::strerror(err) : std::string());
        std::remove(path.c_str());  // a cut image is no image; its space goes back
    }
    return ok;
}

namespace {

// Reads one unsigned decimal field of a PNM header, skipping whitespace and
// comments before it.
bool PnmField(const unsigned char* bytes, size_t size, size_t& pos, long long& value) {
    for (;;) {
        while (pos < size && std::isspace(bytes[pos])) ++pos;
        if (pos < size && bytes[pos] == '#') {
            while (pos < size && bytes[pos] != '\n') ++pos;
            continue;
        }
        break;
    }
    if (pos >= size || !std::isdigit(bytes[pos])) return false;
    value = 0;
    while (pos < size && std::isdigit(bytes[pos])) {
        value = value * 10 + (bytes[pos] - '0');
        if (value > 1000000) return false;
        ++pos;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& out, std::string& error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // Image frames are limited to 100,000,000 bytes; a bigger file cannot be sent.
    const size_t kMaxFile = 90u * 1000u * 1000u;
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (out.size() + n > kMaxFile) {
            std::fclose(f);
            error = path + ": larger than 90 MB";
            return false;
        }
        out.insert(out.end(), buf, buf + n);
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) error = path + ": read failed";
    return !failed;
}

}  // namespace

bool ParsePnm(const unsigned char* bytes, size_t size, int& attr2, int& width, int& height, size_t& pixelOffset) {
    if (size < 2 || bytes[0] != 'P' || (bytes[1] != '5' && bytes[1] != '6')) return false;
    size_t pos = 2;
    long long w = 0, h = 0, maxval = 0;
    if (!PnmField(bytes, size, pos, w) || !PnmField(bytes, size, pos, h) || !PnmField(bytes, size, pos, maxval))
        return false;
    // Exactly one whitespace byte ends the header.
    if (pos >= size || !std::isspace(bytes[pos])) return false;
    ++pos;
    if (w <= 0 || h <= 0 || maxval <= 0 || maxval > 255) return false;
    int format = bytes[1] == '5' ? kFormatGray : kFormatRgb;
    long long need = w * h * (format == kFormatGray ? 1 : 3);
    if (static_cast<long long>(size - pos) < need) return false;
    attr2 = format;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    pixelOffset = pos;
    return true;
}

bool LoadImageFile(const std::string& path, LoadedImage& image, std::string& error) {
    std::vector<unsigned char> bytes;
    if (!ReadWholeFile(path, bytes, error)) return false;
    size_t slash = path.find_last_of('/');
    image.name = slash == std::string::npos ? path : path.substr(slash + 1);
    int attr2 = 0, width = 0, height = 0;
    size_t offset = 0;
    const unsigned char* begin = bytes.data();
    size_t len = bytes.size();
    if (ParsePnm(bytes.data(), bytes.size(), attr2, width, height, offset)) {
        image.attr2 = attr2;
        image.width = width;
        image.height = height;
        begin += offset;
        len = static_cast<size_t>(width) * static_cast<size_t>(height) * (attr2 == kFormatGray ? 1u : 3u);
    } else {
        image.attr2 = kFormatOpaque;
        image.width = 0;
        image.height = 0;
    }
    image.len = static_cast<int>(len);
    image.data =
        std::shared_ptr<unsigned char>(new unsigned char[len > 0 ? len : 1], std::default_delete<unsigned char[]>());
    if (len > 0) std::memcpy(image.data.get(), begin, len);
    return true;
}

bool LoadImageDir(const std::string& dir, std::vector<LoadedImage>& images, std::string& error) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        LoadedImage image;
        std::string why;
        if (LoadImageFile(dir + "/" + name, image, why)) {
            images.push_back(std::move(image));
        } else {
            std::fprintf(stderr, "travik device: skipping %s\n", why.c_str());
        }
    }
    if (images.empty()) {
        error = dir + ": no readable files";
        return false;
    }
    return true;
}

namespace {

#ifdef _WIN32
// Either separator, and "C:" alone is a drive, not a folder to make.
constexpr const char* kSeparators = "/\\";
int MakeDir(const std::string& path) { return path.size() == 2 && path[1] == ':' ? 0 : _mkdir(path.c_str()); }
#else
constexpr const char* kSeparators = "/";
int MakeDir(const std::string& path) { return mkdir(path.c_str(), 0777); }
#endif

bool MakeDirs(const std::string& dir, std::string& error) {
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find_first_of(kSeparators, pos + 1);
        path = dir.substr(0, pos);
        if (path.empty()) continue;
        if (MakeDir(path) != 0 && errno != EEXIST) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = dir + ": not a directory";
        return false;
    }
    return true;
}

// chN_DDDDDD.pgm|ppm|bin (six or more digits), the names this tool writes.
bool IsOurImageName(const std::string& name) {
    if (name.size() < 14 || name.compare(0, 2, "ch") != 0 || !std::isdigit(static_cast<unsigned char>(name[2])) ||
        name[3] != '_')
        return false;
    size_t dot = name.size() - 4;
    for (size_t i = 4; i < dot; ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    std::string ext = name.substr(dot);
    return ext == ".pgm" || ext == ".ppm" || ext == ".bin";
}

}  // namespace

bool PrepareOutputDir(const std::string& dir, std::string& error) {
    if (!MakeDirs(dir, error)) return false;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> stale;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "index.csv" || IsOurImageName(name)) stale.push_back(name);
    }
    closedir(d);
    for (const std::string& name : stale) std::remove((dir + "/" + name).c_str());
    return true;
}

std::string ImageFileName(int channel, uint64_t seq, const char* ext) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "ch%d_%06" PRIu64 "%s", channel, seq, ext);
    return buf;
}

IndexCsv::~IndexCsv() { Close(); }

bool IndexCsv::Open(const std::string& path, std::string& error) {
    m_path = path;
    m_ok = true;
    m_file = std::fopen(path.c_str(), "wb");  // the same bytes on every system
    if (!m_file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (std::fprintf(m_file, "time_us,channel,attr1,attr2,attr3,attr4,attr5,tag,length,latency_us,file\n") < 0)
        m_ok = false;
    return true;
}

bool IndexCsv::Row(uint64_t timeMicros, int channel, const int attrs[5], uint64_t tag, int len, bool hasLatency,
                   int64_t latencyMicros, const std::string& file) {
    if (!m_file || !m_ok) return false;
    if (std::fprintf(m_file, "%" PRIu64 ",%d,%d,%d,%d,%d,%d,%" PRIu64 ",%d,", timeMicros, channel, attrs[0], attrs[1],
                     attrs[2], attrs[3], attrs[4], tag, len) < 0 ||
        (hasLatency && std::fprintf(m_file, "%" PRId64, latencyMicros) < 0) ||
        std::fprintf(m_file, ",%s\n", file.c_str()) < 0)
        m_ok = false;
    return m_ok;
}

bool IndexCsv::Close() {
    if (!m_file) return m_ok;
    if (std::ferror(m_file)) m_ok = false;
    if (std::fclose(m_file) != 0) m_ok = false;
    m_file = nullptr;
    return m_ok;
}

}  // namespace travik_tool
