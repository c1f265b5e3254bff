#include "common/annex_b.h"

namespace travik_tool {

namespace {

constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

}  // namespace

AnnexBSummary SummarizeAnnexB(const uint8_t* p, size_t len) {
    AnnexBSummary s;
    if (p == nullptr || len < 4 || p[0] != 0 || p[1] != 0 || !(p[2] == 1 || (p[2] == 0 && p[3] == 1))) return s;
    for (size_t i = 0; i + 2 < len; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
        const size_t head = i + 3;
        if (head >= len || (p[head] & 0x80) != 0) return s;  // no unit after it, or forbidden_zero_bit set
        const int type = p[head] & 0x1F;
        s.idr = s.idr || type == kNalIdr;
        s.sps = s.sps || type == kNalSps;
        s.pps = s.pps || type == kNalPps;
        ++s.nalUnits;
        i = head;
    }
    s.valid = s.nalUnits > 0;
    return s;
}

}  // namespace travik_tool
