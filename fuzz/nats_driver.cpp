// The NATS messages a viewer, a bridge and the picker read from a cluster
// anyone may publish to. See parser_drivers.h for the input layout.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "nats/client/protocol.h"
#include "nats/fleet/device_list.h"
#include "parser_drivers.h"
#include "protocol/limits.h"

namespace travik_fuzz {
namespace {

using namespace travik_nats;

// A forged prefix must cost nothing: what a decoded image holds is exactly
// what its claim says, and the claim is within what its body can make.
bool ClaimWithinBody(const ImageHeader& h, size_t body) {
    if (h.rawLen > static_cast<uint32_t>(travik::kMaxRawLen)) return false;
    if (h.codec == Codec::Raw && h.rawLen != body) return false;
    if (h.codec == Codec::Zlib && uint64_t{h.rawLen} > uint64_t{body} * travik::kMaxInflateRatio + 64) return false;
    const int format = h.attrs[1];
    if (format == 1 || format == 3) {
        const uint64_t pixels = uint64_t(uint32_t(h.attrs[2])) * uint32_t(h.attrs[3]) * uint32_t(format);
        if (h.attrs[2] <= 0 || h.attrs[3] <= 0 || pixels != h.rawLen) return false;
    }
    return true;
}

bool ImageMessage(const uint8_t* p, size_t n, ParseResult& r) {
    ImageHeader h;
    const bool prefixOk = ReadImagePrefix(p, n, h);
    if (prefixOk && !ClaimWithinBody(h, n - kImagePrefixLen)) return false;
    ImageHeader d;
    std::shared_ptr<unsigned char> image;
    if (!DecodeImage(p, n, d, image)) return true;
    if (!prefixOk || !image || !ClaimWithinBody(d, n - kImagePrefixLen)) return false;
    // Re-encoded, it decodes to the same image.
    std::vector<unsigned char> again;
    ImageHeader back;
    std::shared_ptr<unsigned char> image2;
    if (!EncodeImage(d, image.get(), d.rawLen, 1, again) || !DecodeImage(again.data(), again.size(), back, image2))
        return false;
    if (std::memcmp(back.attrs, d.attrs, sizeof d.attrs) != 0 || back.tag != d.tag || back.rawLen != d.rawLen ||
        (d.rawLen > 0 && std::memcmp(image.get(), image2.get(), d.rawLen) != 0))
        return false;
    ++r.accepted;
    return true;
}

// Leases and commands share one text; a bridge acts on what it parses.
bool LeaseMessage(const std::string& text, ParseResult& r) {
    std::string id;
    Wish wish;
    int ttl = 0;
    if (!ParseLease(text, id, wish, ttl)) return true;
    if (id.empty() || id.size() > 64 || wish.intervalMs < 1 || wish.intervalMs > 3600000 || ttl < 1 || ttl > 60000)
        return false;
    std::string id2;
    Wish wish2;
    int ttl2 = 0;
    if (!ParseLease(FormatLease(id, wish, ttl), id2, wish2, ttl2)) return false;
    if (id2 != id || wish2 != wish || ttl2 != ttl) return false;
    ++r.accepted;
    return true;
}

bool StatusMessage(const std::string& text, ParseResult& r) {
    Status s;
    if (!ParseStatus(text, s)) return true;
    if (!ValidName(s.name) || s.leases < 0 || s.sending.intervalMs < 1) return false;
    Status s2;
    if (!ParseStatus(FormatStatus(s), s2)) return false;
    if (FormatStatus(s2) != FormatStatus(s)) return false;
    ++r.accepted;
    return true;
}

// A status subject names one device; log text is cut without losing or
// splitting a byte.
bool SubjectAndText(const uint8_t* p, size_t n, ParseResult& r) {
    const std::string text(reinterpret_cast<const char*>(p), n);
    std::string name;
    if (NameOfStatusSubject(text, name)) {
        if (!ValidName(name) || Subject(name, "status") != text) return false;
        ++r.accepted;
    }
    if (ValidName(text)) {
        std::string back;
        if (!NameOfStatusSubject(Subject(text, "status"), back) || back != text) return false;
        ++r.accepted;
    }
    const size_t max = n == 0 ? 1 : p[0] % 64 + 1;
    size_t at = 0;
    for (const auto& [offset, length] : SplitText(text, max)) {
        if (offset != at || length == 0 || length > max) return false;
        at += length;
    }
    return at == text.size();
}

std::vector<std::string> Names(DeviceList& list) {
    std::vector<std::string> names;
    for (const DeviceList::Device& d : list.Snapshot()) names.push_back(FormatStatus(d.status));
    return names;
}

// Records separated by NUL bytes, each "SUBJECT\nSTATUS". The list never
// grows past its capacity, a refused message leaves it as it was, and
// after the flood a real bridge's status is still listed at once.
bool PickerStream(const uint8_t* p, size_t n, ParseResult& r) {
    constexpr size_t kCapacity = 2;  // small, so that a few names fill it
    DeviceList list(kCapacity, std::chrono::milliseconds(60000));
    size_t start = 0;
    for (int records = 0; start < n && records < 64; ++records) {
        const uint8_t* end = static_cast<const uint8_t*>(std::memchr(p + start, 0, n - start));
        const size_t stop = end ? static_cast<size_t>(end - p) : n;
        const std::string record(reinterpret_cast<const char*>(p + start), stop - start);
        start = stop + 1;
        const size_t nl = record.find('\n');
        const std::string subject = record.substr(0, nl);
        const std::string body = nl == std::string::npos ? std::string() : record.substr(nl + 1);
        const std::vector<std::string> before = Names(list);
        if (list.Hear(subject.c_str(), body.data(), static_cast<int>(body.size()))) {
            ++r.accepted;
        } else if (Names(list) != before) {
            return false;
        }
        if (list.Snapshot().size() > kCapacity) return false;
    }
    Status real;
    real.name = "the-real-bridge";
    real.device = "127.0.0.1:7000";
    real.up = true;
    const std::string text = FormatStatus(real);
    if (!list.Hear(Subject(real.name, "status").c_str(), text.data(), static_cast<int>(text.size()))) return false;
    for (const DeviceList::Device& d : list.Snapshot())
        if (d.status.name == real.name) return true;
    return false;
}

}  // namespace

bool DriveNatsMessages(const uint8_t* data, size_t size, ParseResult* result) {
    ParseResult local;
    ParseResult& r = result ? *result : local;
    if (size == 0) return true;
    const uint8_t* p = data + 1;
    const size_t n = size - 1;
    switch (data[0] % 5) {
        case 0:
            return ImageMessage(p, n, r);
        case 1:
            return LeaseMessage(std::string(reinterpret_cast<const char*>(p), n), r);
        case 2:
            return StatusMessage(std::string(reinterpret_cast<const char*>(p), n), r);
        case 3:
            return SubjectAndText(p, n, r);
        default:
            return PickerStream(p, n, r);
    }
}

}  // namespace travik_fuzz
