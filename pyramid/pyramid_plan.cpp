/*
 * pyramid_plan.cpp - the directory plan and the level scale factors of the
 * output file.
 */
#include "pyramid/pyramid_plan.h"

#include <algorithm>
#include <cmath>

namespace nvx::pyramid {

bool IsPlausibleScanMagnification(std::int32_t scanMagnification) {
    return scanMagnification >= kMinScanMagnification && scanMagnification <= kMaxScanMagnification;
}

float FirstReducedScaleFactor(std::int32_t width, std::int32_t height) {
    // Very large boxes skip further ahead so the second level stays moderate.
    const double w = width / 25600.0;
    const double h = height / 25600.0;
    float s = 4.0f;
    if (w >= 8 || h >= 8) {
        // s stays
    } else if (w >= 4 || h >= 4) {
        s *= 0.5f;
    } else {
        s *= 0.25f;
    }
    return s * 4.0f;
}

namespace {

// A box coordinate over a level's scale factor, truncated. The division is
// done in double, which holds every 32-bit coordinate exactly.
std::int32_t ScaledDown(std::int32_t value, float scaleFactor) {
    return static_cast<std::int32_t>(static_cast<double>(value) / scaleFactor);
}

}  // namespace

PyramidPlan MakePyramidPlan(std::int32_t originX, std::int32_t originY, std::int32_t width,
                            std::int32_t height, std::int32_t layers, bool regionMode,
                            PlannedPictures pictures, const EncodingChoices& encoding) {
    PyramidPlan plan;
    // Both sides must reach the threshold (512 in region mode, 256 otherwise)
    // for another halving; the shorter side ends the count.
    const std::int32_t threshold = regionMode ? 512 : 256;
    std::int32_t halvings = 0;
    std::int32_t a = width;
    std::int32_t b = height;
    while (a >= threshold && b >= threshold) {
        ++halvings;
        a /= 2;
        b /= 2;
    }
    // The last directory index a level could take.
    const std::int32_t plannedLast = std::max(3, std::min(layers + 1, halvings));

    float s = 1.0f;
    for (std::int32_t i = 1; i <= plannedLast; ++i) {
        if (i == 2) {
            s = FirstReducedScaleFactor(width, height);
            continue;
        }
        LevelPlan level;
        level.directoryIndex = i;
        level.scaleFactor = s;
        level.width = ScaledDown(width, s);
        level.height = ScaledDown(height, s);
        level.originX = ScaledDown(originX, s);
        level.originY = ScaledDown(originY, s);
        level.jpegQuality = encoding.LevelQuality(i);
        level.chroma420 = encoding.chroma420;
        // Levels only shrink from here on, so the first empty one ends the pyramid.
        if (level.width <= 0 || level.height <= 0) break;
        plan.levels.push_back(level);
        s *= 4.0f;
    }
    PlanPictures(&plan, pictures);
    return plan;
}

void PlanPictures(PyramidPlan* plan, PlannedPictures pictures) {
    if (plan->levels.empty()) return;
    // The levels, the thumbnail, then the label and the macro the slide has.
    plan->pictures = pictures;
    const auto levelsAndThumbnail = static_cast<std::int32_t>(plan->levels.size()) + 1;
    plan->labelPage = pictures.label ? levelsAndThumbnail + 1 : 0;
    plan->directoryCount = levelsAndThumbnail + (pictures.label ? 1 : 0) + (pictures.macro ? 1 : 0);
}

std::optional<std::int32_t> StoredLevelOf(const LevelPlan& level, std::int32_t slideWidth,
                                          std::int32_t slideHeight, std::int32_t tileSize) {
    if (slideWidth <= 0 || slideHeight <= 0 || tileSize <= 0) return std::nullopt;
    if (level.originX != 0 || level.originY != 0) return std::nullopt;
    // The scale factor must be exactly a power of two, 1 included.
    int exponent = 0;
    if (!(level.scaleFactor >= 1.0f) || std::frexp(level.scaleFactor, &exponent) != 0.5f) {
        return std::nullopt;
    }
    const std::int32_t k = exponent - 1;
    for (std::int32_t stored = 0; stored <= k; ++stored) {
        const std::int32_t width = slideWidth >> stored;
        const std::int32_t height = slideHeight >> stored;
        if (stored == k) {
            if (width != level.width || height != level.height) return std::nullopt;
            return k;
        }
        // The slide's last level: the first that fits in one tile, or the
        // last before a side would reach zero.
        if ((width <= tileSize && height <= tileSize) || width < 2 || height < 2) break;
    }
    return std::nullopt;
}

void PlanCopiedLevels(PyramidPlan* plan, std::int32_t slideWidth, std::int32_t slideHeight,
                      std::int32_t tileSize) {
    for (LevelPlan& level : plan->levels) {
        level.storedTiles = StoredLevelOf(level, slideWidth, slideHeight, tileSize).has_value();
    }
}

float RecordedMicronsPerPixel(float micronsPerPixel) {
    if (!std::isfinite(micronsPerPixel) || micronsPerPixel <= 0.0f ||
        micronsPerPixel > kMaxMicronsPerPixel)
        return 0.0f;
    return micronsPerPixel;
}

bool UsesUsualMicronsPerPixel(std::int32_t scanMagnification, float micronsPerPixel) {
    return RecordedMicronsPerPixel(micronsPerPixel) == 0.0f &&
           (scanMagnification == 20 || scanMagnification == 40);
}

float EffectiveMicronsPerPixel(std::int32_t scanMagnification, float micronsPerPixel) {
    const float recorded = RecordedMicronsPerPixel(micronsPerPixel);
    if (recorded == 0.0f) {
        if (scanMagnification == 20) return 0.46729f;
        if (scanMagnification == 40) return 0.239842f;
    }
    return recorded;
}

}  // namespace nvx::pyramid
