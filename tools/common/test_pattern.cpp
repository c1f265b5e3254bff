#include "common/test_pattern.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/image_file.h"
#include "protocol/channel_rule.h"

namespace travik_tool {

namespace {

// 5x7 glyphs, one byte per row, bit 4 is the leftmost column.
struct Glyph {
    char c;
    unsigned char rows[7];
};
const Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
};

const unsigned char* GlyphRows(char c) {
    for (const Glyph& g : kGlyphs)
        if (g.c == c) return g.rows;
    return nullptr;  // blank
}

class Canvas {
public:
    Canvas(unsigned char* out, int width, int height, int bpp) : m_out(out), m_w(width), m_h(height), m_bpp(bpp) {}

    void Fill(int x0, int y0, int x1, int y1, const unsigned char rgb[3]) {
        x0 = std::max(x0, 0);
        y0 = std::max(y0, 0);
        x1 = std::min(x1, m_w);
        y1 = std::min(y1, m_h);
        for (int y = y0; y < y1; ++y) {
            unsigned char* row = m_out + (static_cast<size_t>(y) * m_w + x0) * m_bpp;
            for (int x = x0; x < x1; ++x, row += m_bpp) {
                if (m_bpp == 1) {
                    row[0] = static_cast<unsigned char>((rgb[0] * 3 + rgb[1] * 5 + rgb[2] * 2) / 10);
                } else {
                    std::memcpy(row, rgb, 3);
                }
            }
        }
    }

    // Draws `text` with its top-left corner at (x, y), each glyph pixel a
    // scale x scale block, on a dark box so that it reads on any background.
    void Text(int x, int y, const char* text, int scale) {
        static const unsigned char kInk[3] = {255, 255, 255};
        static const unsigned char kBox[3] = {0, 0, 0};
        int n = static_cast<int>(std::strlen(text));
        Fill(x - scale, y - scale, x + n * 6 * scale, y + 8 * scale, kBox);
        for (int i = 0; i < n; ++i) {
            const unsigned char* rows = GlyphRows(text[i]);
            if (!rows) continue;
            for (int r = 0; r < 7; ++r)
                for (int c = 0; c < 5; ++c)
                    if (rows[r] & (0x10 >> c)) {
                        int px = x + (i * 6 + c) * scale;
                        int py = y + r * scale;
                        Fill(px, py, px + scale, py + scale, kInk);
                    }
        }
    }

private:
    unsigned char* m_out;
    int m_w, m_h, m_bpp;
};

// Position on a path that goes 0..range and back.
int Bounce(uint64_t step, int range) {
    if (range <= 0) return 0;
    uint64_t period = static_cast<uint64_t>(range) * 2;
    int p = static_cast<int>(step % period);
    return p <= range ? p : static_cast<int>(period) - p;
}

}  // namespace

void DrawTestPattern(unsigned char* out, int width, int height, int attr2, int channel, uint64_t frame, int noise) {
    if (!out || width <= 0 || height <= 0) return;
    const int bpp = attr2 == kFormatRgb ? 3 : 1;
    const int shift = static_cast<int>((frame * 4) & 0xFF);
    // Background: a diagonal ramp that slides to the right by 4 per frame.
    for (int y = 0; y < height; ++y) {
        unsigned char* row = out + static_cast<size_t>(y) * width * bpp;
        for (int x = 0; x < width; ++x) {
            int ramp = (x + y / 2 - shift) & 0xFF;
            if (bpp == 1) {
                row[x] = static_cast<unsigned char>(ramp / 2 + 64);
            } else {
                row[3 * x] = static_cast<unsigned char>(ramp);
                row[3 * x + 1] = static_cast<unsigned char>(y * 255 / height);
                row[3 * x + 2] = static_cast<unsigned char>(255 - ramp);
            }
        }
    }
    Canvas canvas(out, width, height, bpp);
    // A bouncing square, a different colour per channel.
    static const unsigned char kColours[travik::kImageChannels][3] = {
        {250, 250, 250}, {250, 60, 40}, {60, 220, 60}, {60, 90, 250}};
    int side = std::max(4, height / 5);
    int sx = Bounce(frame * 7, width - side);
    int sy = Bounce(frame * 5, height - side);
    canvas.Fill(sx, sy, sx + side, sy + side, kColours[channel % travik::kImageChannels]);
    // "CH2 #000123": channel and frame number.
    char label[32];
    std::snprintf(label, sizeof label, "CH%d #%06llu", channel, static_cast<unsigned long long>(frame % 1000000));
    int scale = std::max(1, std::min(width / 80, height / 40));
    canvas.Text(2 * scale, 2 * scale, label, scale);
    if (noise > 0) {
        uint32_t state = static_cast<uint32_t>(frame * 2654435761u) ^ static_cast<uint32_t>(channel + 1);
        size_t n = static_cast<size_t>(width) * height * bpp;
        int span = 2 * noise + 1;
        for (size_t i = 0; i < n; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            int v = out[i] + static_cast<int>(state % static_cast<uint32_t>(span)) - noise;
            out[i] = static_cast<unsigned char>(std::clamp(v, 0, 255));
        }
    }
}

}  // namespace travik_tool
