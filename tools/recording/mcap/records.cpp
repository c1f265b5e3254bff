// The records a scan reads (schema, channel, message), and the limits on
// what the reader keeps of them across chunks: each schema and channel
// record is at most kMaxRecordBytes, their counts and the bytes kept are
// capped, so a small crafted file cannot make the reader hold gigabytes.
#include <string>

#include "recording/mcap/cursor.h"
#include "recording/mcap/reader.h"

namespace travik_mcap {

namespace {

uint64_t Cost(const Schema& s) { return KeptCost(1, s.name.size() + s.encoding.size()); }

uint64_t Cost(const Channel& ch) {
    uint64_t strings = ch.topic.size() + ch.messageEncoding.size();
    for (const auto& kv : ch.metadata) strings += kv.first.size() + kv.second.size();
    return KeptCost(1 + ch.metadata.size(), strings);
}

std::string Where(uint64_t offset, size_t inChunk) {
    if (inChunk == kNotInChunk) return At(offset);
    return " (byte " + std::to_string(inChunk) + " of the chunk)" + At(offset);
}

}  // namespace

bool Reader::Keep(uint64_t oldCost, uint64_t newCost, uint64_t offset, size_t inChunk, ScanResult& result) {
    const uint64_t kept = m_keptBytes - oldCost + newCost;
    if (kept > kMaxKeptBytes) {
        result.error = "schemas and channels kept exceed the " + std::to_string(kMaxKeptBytes >> 20) + " MiB limit" +
                       Where(offset, inChunk);
        return false;
    }
    m_keptBytes = kept;
    return true;
}

bool Reader::ParseInner(uint8_t op, const uint8_t* p, size_t len, uint64_t offset, size_t inChunk,
                        const MessageFn& onMessage, ScanResult& result) {
    if ((op == kOpSchema || op == kOpChannel) && len > kMaxRecordBytes) {
        result.error = std::string(op == kOpSchema ? "schema" : "channel") + " record of " + std::to_string(len) +
                       " bytes exceeds the " + std::to_string(kMaxRecordBytes >> 20) + " MiB limit" +
                       Where(offset, inChunk);
        return false;
    }
    Cursor c{p, len};
    if (op == kOpSchema) {
        Schema s;
        s.id = c.U16();
        s.name = c.Str();
        s.encoding = c.Str();
        uint32_t dataLen = c.U32();
        c.Skip(dataLen);  // the schema's text is not needed
        if (!c.ok) {
            result.error = "malformed schema record" + Where(offset, inChunk);
            return false;
        }
        if (s.id == 0) return true;
        auto old = m_schemas.find(s.id);
        if (old == m_schemas.end() && m_schemas.size() >= kMaxSchemas) {
            result.error = "more than " + std::to_string(kMaxSchemas) + " schemas" + Where(offset, inChunk);
            return false;
        }
        if (!Keep(old == m_schemas.end() ? 0 : Cost(old->second), Cost(s), offset, inChunk, result)) return false;
        m_schemas[s.id] = std::move(s);
    } else if (op == kOpChannel) {
        Channel ch;
        ch.id = c.U16();
        ch.schemaId = c.U16();
        ch.topic = c.Str();
        ch.messageEncoding = c.Str();
        uint32_t mapLen = c.U32();
        if (c.Take(mapLen)) {
            Cursor m{c.p, mapLen};
            size_t entries = 0;
            while (m.ok && m.left > 0) {
                if (++entries > kMaxMetadataEntries) {
                    result.error = "channel " + std::to_string(ch.id) + " has more than " +
                                   std::to_string(kMaxMetadataEntries) + " metadata entries" + Where(offset, inChunk);
                    return false;
                }
                std::string k = m.Str();
                std::string v = m.Str();
                if (m.ok) ch.metadata[std::move(k)] = std::move(v);
            }
            c.ok = m.ok;
            c.Skip(mapLen);
        }
        if (!c.ok) {
            result.error = "malformed channel record" + Where(offset, inChunk);
            return false;
        }
        if (ch.schemaId != 0 && !m_schemas.count(ch.schemaId)) {
            result.error = "channel " + std::to_string(ch.id) + " refers to unknown schema " +
                           std::to_string(ch.schemaId) + Where(offset, inChunk);
            return false;
        }
        auto old = m_channels.find(ch.id);
        if (old == m_channels.end() && m_channels.size() >= kMaxChannels) {
            result.error = "more than " + std::to_string(kMaxChannels) + " channels" + Where(offset, inChunk);
            return false;
        }
        if (!Keep(old == m_channels.end() ? 0 : Cost(old->second), Cost(ch), offset, inChunk, result)) return false;
        m_channels[ch.id] = std::move(ch);
    } else if (op == kOpMessage) {
        Message m;
        m.channel = c.U16();
        m.sequence = c.U32();
        m.logTime = c.U64();
        m.publishTime = c.U64();
        if (!c.ok) {
            result.error = "malformed message record" + Where(offset, inChunk);
            return false;
        }
        auto ch = m_channels.find(m.channel);
        if (ch == m_channels.end()) {
            result.error = "message on unknown channel " + std::to_string(m.channel) + Where(offset, inChunk);
            return false;
        }
        m.data = c.p;
        m.size = c.left;
        m.recordOffset = offset;
        ++result.messages;
        if (!onMessage(ch->second, m)) return false;
    }
    return true;  // other records (indexes, attachments, metadata) are not needed here
}

}  // namespace travik_mcap
