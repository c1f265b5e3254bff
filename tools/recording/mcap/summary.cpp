// The footer, the summary's statistics and its chunk indexes: what `travik
// info` reports beside the scan, and what the recorder checks of the file
// it has just closed.
#include <cstring>

#include "recording/mcap/cursor.h"
#include "recording/mcap/reader.h"

namespace travik_mcap {

bool Reader::HasTrailingMagic() {
    uint64_t size = m_source.Size();
    uint8_t tail[kMagicSize];
    return size >= 2 * kMagicSize && m_source.ReadAt(size - kMagicSize, tail, kMagicSize) &&
           std::memcmp(tail, kMagic, kMagicSize) == 0;
}

bool Reader::ReadSummary(SummaryInfo& info, std::string& error) {
    info = SummaryInfo();
    const uint64_t size = m_source.Size();
    const uint64_t footerSize = kRecordPrefix + kFooterContent;
    if (!HasTrailingMagic() || size < 2 * kMagicSize + footerSize) return true;
    const uint64_t footerAt = size - kMagicSize - footerSize;
    uint8_t footer[kRecordPrefix + kFooterContent];
    if (!m_source.ReadAt(footerAt, footer, sizeof footer) || footer[0] != kOpFooter ||
        Get64(footer + 1) != kFooterContent) {
        error = "malformed footer" + At(footerAt);
        return false;
    }
    info.present = true;
    const uint64_t summaryStart = Get64(footer + 9);
    const uint32_t crc = Get32(footer + 25);
    if (summaryStart == 0) return true;
    if (summaryStart < kMagicSize || summaryStart >= footerAt || footerAt - summaryStart > kMaxSummaryBytes) {
        error = "footer points at a summary outside the file (" + std::to_string(summaryStart) + ")" + At(footerAt);
        return false;
    }
    // The CRC covers the summary through summary_offset_start of the footer.
    std::vector<uint8_t> summary;
    if (!ReadRecord(summaryStart, footerAt - summaryStart + kRecordPrefix + 16, summary)) {
        error = "cannot read summary" + At(summaryStart);
        return false;
    }
    if (crc != 0 && Crc32(0, summary.data(), summary.size()) != crc) {
        error = "summary CRC mismatch" + At(summaryStart);
        return false;
    }
    size_t pos = 0, end = static_cast<size_t>(footerAt - summaryStart);
    while (pos + kRecordPrefix <= end) {
        const uint8_t op = summary[pos];
        const uint64_t len = Get64(&summary[pos + 1]);
        if (len > end - pos - kRecordPrefix) {
            error = "summary record runs past the footer" + At(summaryStart + pos);
            return false;
        }
        if (op == kOpStatistics) {
            Cursor c{&summary[pos + kRecordPrefix], static_cast<size_t>(len)};
            info.messages = c.U64();
            c.U16();
            c.U32();
            c.U32();
            c.U32();
            info.chunks = c.U32();
            info.startTime = c.U64();
            info.endTime = c.U64();
            if (!c.ok) {
                error = "malformed statistics record" + At(summaryStart + pos);
                return false;
            }
            info.hasStatistics = true;
        } else if (op == kOpChunkIndex) {
            // Each chunk the summary names must be one a scan reads.
            Cursor c{&summary[pos + kRecordPrefix], static_cast<size_t>(len)};
            c.U64();
            c.U64();
            const uint64_t chunkAt = c.U64(), chunkLen = c.U64();
            if (!c.ok || chunkAt < kMagicSize || chunkAt > summaryStart || chunkLen > summaryStart - chunkAt ||
                chunkLen < kRecordPrefix) {
                error = "malformed chunk index" + At(summaryStart + pos);
                return false;
            }
            if (chunkLen - kRecordPrefix > kMaxChunkBytes) {
                error = "chunk of " + std::to_string(chunkLen - kRecordPrefix) + " bytes exceeds the " +
                        std::to_string(kMaxChunkBytes >> 20) + " MiB limit" + At(chunkAt);
                return false;
            }
        }
        pos += kRecordPrefix + static_cast<size_t>(len);
    }
    return true;
}

}  // namespace travik_mcap
