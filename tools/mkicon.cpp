// Draws the launcher icon (an orange chevron on a dark rounded tile) at the six sizes of the icon group and
// writes them as one .ico of 32-bit DIB entries with AND masks. Deterministic: same source, same bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Rgba { double r, g, b, a; };

double SegmentDistance(double px, double py, double ax, double ay, double bx, double by) {
    double vx = bx - ax, vy = by - ay, wx = px - ax, wy = py - ay;
    double t = (wx * vx + wy * vy) / (vx * vx + vy * vy);
    t = t < 0 ? 0 : (t > 1 ? 1 : t);
    double dx = px - (ax + t * vx), dy = py - (ay + t * vy);
    return std::sqrt(dx * dx + dy * dy);
}

bool InRoundedSquare(double x, double y, double inset, double radius) {
    double lo = inset + radius, hi = 1 - inset - radius;
    double cx = x < lo ? lo : (x > hi ? hi : x), cy = y < lo ? lo : (y > hi ? hi : y);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius && x >= inset && x <= 1 - inset &&
           y >= inset && y <= 1 - inset;
}

// Colour of one sample point in unit coordinates (y down).
Rgba Sample(double x, double y) {
    const Rgba none = {0, 0, 0, 0}, tile = {24, 28, 36, 1}, rim = {52, 58, 70, 1}, orange = {255, 106, 0, 1};
    if (!InRoundedSquare(x, y, 0.02, 0.2)) return none;
    double d = std::fmin(SegmentDistance(x, y, 0.26, 0.27, 0.5, 0.74), SegmentDistance(x, y, 0.5, 0.74, 0.74, 0.27));
    if (d <= 0.085) return orange;
    if (!InRoundedSquare(x, y, 0.06, 0.16)) return rim;
    return tile;
}

std::vector<uint8_t> Draw(int size) {
    const int ss = 4;  // 4x4 supersampling for smooth edges at small sizes
    std::vector<uint8_t> bgra(size * size * 4);
    for (int py = 0; py < size; py++)
        for (int px = 0; px < size; px++) {
            double r = 0, g = 0, b = 0, a = 0;
            for (int sy = 0; sy < ss; sy++)
                for (int sx = 0; sx < ss; sx++) {
                    Rgba c = Sample((px + (sx + 0.5) / ss) / size, (py + (sy + 0.5) / ss) / size);
                    r += c.r * c.a; g += c.g * c.a; b += c.b * c.a; a += c.a;
                }
            uint8_t* p = &bgra[(py * size + px) * 4];
            double n = ss * ss;
            // Premultiplied sums back to straight alpha, as icons store it.
            p[0] = a > 0 ? (uint8_t)std::lround(b / a) : 0;
            p[1] = a > 0 ? (uint8_t)std::lround(g / a) : 0;
            p[2] = a > 0 ? (uint8_t)std::lround(r / a) : 0;
            p[3] = (uint8_t)std::lround(255 * a / n);
        }
    return bgra;
}

void Put16(std::vector<uint8_t>& o, unsigned v) { o.push_back(v & 0xff); o.push_back((v >> 8) & 0xff); }
void Put32(std::vector<uint8_t>& o, uint32_t v) { Put16(o, v & 0xffff); Put16(o, v >> 16); }

// BITMAPINFOHEADER + bottom-up BGRA rows + 1-bpp AND mask (rows padded to 32 bits).
std::vector<uint8_t> DibEntry(int size, const std::vector<uint8_t>& bgra) {
    std::vector<uint8_t> o;
    int maskStride = ((size + 31) / 32) * 4;
    Put32(o, 40); Put32(o, size); Put32(o, size * 2); Put16(o, 1); Put16(o, 32);
    Put32(o, 0); Put32(o, size * size * 4 + maskStride * size); Put32(o, 0); Put32(o, 0); Put32(o, 0); Put32(o, 0);
    for (int y = size - 1; y >= 0; y--) o.insert(o.end(), &bgra[y * size * 4], &bgra[(y + 1) * size * 4]);
    for (int y = size - 1; y >= 0; y--) {
        std::vector<uint8_t> row(maskStride, 0);
        for (int x = 0; x < size; x++)
            if (bgra[(y * size + x) * 4 + 3] == 0) row[x / 8] |= 0x80 >> (x % 8);
        o.insert(o.end(), row.begin(), row.end());
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkicon OUT.ico\n");
        return 2;
    }
    const int sizes[] = {16, 32, 48, 64, 128, 256};
    std::vector<std::vector<uint8_t>> entries;
    for (int s : sizes) entries.push_back(DibEntry(s, Draw(s)));
    std::vector<uint8_t> ico;
    Put16(ico, 0); Put16(ico, 1); Put16(ico, 6);
    uint32_t offset = 6 + 16 * 6;
    for (size_t i = 0; i < entries.size(); i++) {
        int s = sizes[i];
        ico.push_back(s == 256 ? 0 : s); ico.push_back(s == 256 ? 0 : s);  // 0 means 256
        ico.push_back(0); ico.push_back(0);
        Put16(ico, 1); Put16(ico, 32); Put32(ico, entries[i].size()); Put32(ico, offset);
        offset += entries[i].size();
    }
    for (auto& e : entries) ico.insert(ico.end(), e.begin(), e.end());
    FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(ico.data(), 1, ico.size(), f) != ico.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
