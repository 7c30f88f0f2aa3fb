/*
 * synthetic_tissue.cpp - the synthetic slide's layout and stain colours.
 *
 * About a tenth of the slide's area is tissue. Colours come from hashed
 * value noise at a few scales: a slow field for stroma density, a gland
 * field whose peaks are lumens ringed by epithelium, a 16-pixel cell grid
 * for nuclei, and per-pixel grain so JPEG sees texture like a real scan.
 */
#include "tools/synthetic_tissue.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace nvxmake {
namespace {

uint32_t Mix(uint32_t h) {
    h ^= h >> 16;
    h *= 0x7feb352dU;
    h ^= h >> 15;
    h *= 0x846ca68bU;
    h ^= h >> 16;
    return h;
}

uint32_t Hash3(uint32_t a, uint32_t b, uint32_t seed) {
    return Mix(a * 0x9E3779B1U ^ (b + 0x632BE5ABU) * 0x85EBCA77U ^ seed * 0xC2B2AE3DU);
}

double Unit(uint32_t h) { return (h >> 8) * (1.0 / 16777216.0); }

// Smooth value noise in [0, 1] with lattice spacing 1.
double ValueNoise(double x, double y, uint32_t seed) {
    const double fx = std::floor(x), fy = std::floor(y);
    const auto ix = static_cast<uint32_t>(static_cast<int64_t>(fx));
    const auto iy = static_cast<uint32_t>(static_cast<int64_t>(fy));
    double tx = x - fx, ty = y - fy;
    tx = tx * tx * (3 - 2 * tx);
    ty = ty * ty * (3 - 2 * ty);
    const double a = Unit(Hash3(ix, iy, seed)), b = Unit(Hash3(ix + 1, iy, seed));
    const double c = Unit(Hash3(ix, iy + 1, seed)), d = Unit(Hash3(ix + 1, iy + 1, seed));
    return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

// A tiny deterministic generator for the layout.
struct Random {
    uint32_t state;
    double Next() { return Unit(state = Mix(state + 0x9E3779B9U)); }
    double Between(double lo, double hi) { return lo + (hi - lo) * Next(); }
};

constexpr double kMaxWobble = 1.25;
constexpr double kTissueShare = 0.10;

uint8_t ClampByte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }

}  // namespace

SyntheticTissue::SyntheticTissue(uint32_t width, uint32_t height, uint32_t seed)
    : width_(width), height_(height), seed_(seed) {
    Random rnd{seed * 2654435761U + 1};
    const double area = double(width) * double(height);
    const int count = static_cast<int>(std::clamp(4.0 + area / 4e8, 4.0, 40.0));
    const double pieceArea = area * kTissueShare / count;
    for (int i = 0; i < count; ++i) {
        Piece p{};
        const double a = pieceArea * rnd.Between(0.5, 1.5);
        const double aspect = rnd.Between(1.0, 2.5);
        p.rx = std::sqrt(a * aspect / std::numbers::pi);
        p.ry = p.rx / aspect;
        p.rx = std::min(p.rx, 0.4 * width);
        p.ry = std::min(p.ry, 0.4 * height);
        p.cx = rnd.Between(0.1, 0.9) * width;
        p.cy = rnd.Between(0.1, 0.9) * height;
        const double angle = rnd.Between(0, std::numbers::pi);
        p.cosA = std::cos(angle);
        p.sinA = std::sin(angle);
        for (int k = 0; k < 3; ++k) {
            const double phase = rnd.Between(0, 2 * std::numbers::pi);
            p.cosPhase[k] = std::cos(phase);
            p.sinPhase[k] = std::sin(phase);
        }
        const double ex = kMaxWobble * std::hypot(p.rx * p.cosA, p.ry * p.sinA);
        const double ey = kMaxWobble * std::hypot(p.rx * p.sinA, p.ry * p.cosA);
        p.x0 = p.cx - ex;
        p.x1 = p.cx + ex;
        p.y0 = p.cy - ey;
        p.y1 = p.cy + ey;
        pieces_.push_back(p);
    }
}

bool SyntheticTissue::Inside(const Piece& p, double x, double y) const {
    const double dx = x - p.cx, dy = y - p.cy;
    const double u = (dx * p.cosA + dy * p.sinA) / p.rx;
    const double v = (-dx * p.sinA + dy * p.cosA) / p.ry;
    const double d2 = u * u + v * v;
    if (d2 > kMaxWobble * kMaxWobble) return false;
    if (d2 < 0.75 * 0.75) return true;
    // The edge wobbles with the direction t: 1 + sum a_n sin(n t + phase_n).
    // sin(n t + p) is Im(z^n) cos p + Re(z^n) sin p with z = e^(i t), and
    // powers of z cost a few multiplications where sin and atan2 cost many.
    const double len = std::sqrt(d2);
    if (len == 0) return true;
    const std::complex<double> z1(u / len, v / len);
    const std::complex<double> z2 = z1 * z1, z3 = z2 * z1, z5 = z3 * z2, z11 = z5 * z5 * z1;
    const auto wave = [&](const std::complex<double>& zn, int i) {
        return zn.imag() * p.cosPhase[i] + zn.real() * p.sinPhase[i];
    };
    const double edge = 1 + 0.12 * wave(z3, 0) + 0.07 * wave(z5, 1) + 0.04 * wave(z11, 2);
    return d2 < edge * edge;
}

void SyntheticTissue::Stain(uint32_t x, uint32_t y, uint8_t* px) const {
    const double density = ValueNoise(x / 90.0, y / 90.0, seed_ + 1);
    const double gland = ValueNoise(x / 260.0, y / 260.0, seed_ + 2);
    // Stroma: eosin pink, denser where the slow field is high.
    double r = 240 - 22 * density, g = 178 - 55 * density, b = 210 - 25 * density;
    double nucleusChance = 0.22;
    if (gland > 0.74) {  // lumen: nearly empty
        r = 247, g = 238, b = 244;
        nucleusChance = 0;
    } else if (gland > 0.64) {  // epithelium ringing the lumen: haematoxylin-rich
        r = 185, g = 120, b = 190;
        nucleusChance = 0.85;
    }
    // Nuclei: at most one per 16-pixel cell, kept inside its cell.
    const uint32_t cx = x / 16, cy = y / 16;
    const uint32_t h = Hash3(cx, cy, seed_ + 3);
    if (Unit(h) < nucleusChance) {
        const double nx = cx * 16.0 + 5 + (h & 7), ny = cy * 16.0 + 5 + ((h >> 3) & 7);
        const double radius = 3.0 + ((h >> 6) & 3);
        const double ddx = x - nx, ddy = (y - ny) * 1.3;
        if (ddx * ddx + ddy * ddy < radius * radius) r = 78, g = 48, b = 125;
    }
    const double grain = (Unit(Hash3(x, y, seed_ + 4)) - 0.5) * 14;
    px[0] = ClampByte(r + grain);
    px[1] = ClampByte(g + grain);
    px[2] = ClampByte(b + grain);
}

bool SyntheticTissue::KnownBlank(uint32_t x, uint32_t y, uint32_t w, uint32_t h) const {
    for (const Piece& p : pieces_)
        if (x < p.x1 && x + w > p.x0 && y < p.y1 && y + h > p.y0) return false;
    return true;
}

bool SyntheticTissue::Read(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t* rgb) const {
    std::vector<const Piece*> near;
    for (const Piece& p : pieces_)
        if (x < p.x1 && x + w > p.x0 && y < p.y1 && y + h > p.y0) near.push_back(&p);
    for (uint32_t j = 0; j < h; ++j) {
        for (uint32_t i = 0; i < w; ++i) {
            uint8_t* px = rgb + (size_t(j) * w + i) * 3;
            const double fx = x + i + 0.5, fy = y + j + 0.5;
            const bool tissue = std::any_of(near.begin(), near.end(),
                                            [&](const Piece* p) { return Inside(*p, fx, fy); });
            if (tissue) {
                Stain(x + i, y + j, px);
            } else {
                px[0] = px[1] = px[2] = 255;
            }
        }
    }
    return true;
}

}  // namespace nvxmake
