// The capture rectangle: RegionArg as the caller gave it, Region once validated
// against the output's desktop image.
#pragma once

#include <cstdint>

#include "duplication/failure.h"

namespace vistrel {

// Unvalidated, as converted from Python: (left, top, right, bottom).
struct RegionArg {
    std::int64_t left;
    std::int64_t top;
    std::int64_t right;
    std::int64_t bottom;
};

// Validated: half-open, non-empty, inside the image.
struct Region {
    std::uint32_t left;
    std::uint32_t top;
    std::uint32_t right;
    std::uint32_t bottom;

    std::uint32_t width() const { return right - left; }
    std::uint32_t height() const { return bottom - top; }
    static Region whole(std::uint32_t width, std::uint32_t height) { return {0, 0, width, height}; }
    friend bool operator==(const Region&, const Region&) = default;
};

// Checks `arg` against an image of width x height; a BadValue failure says why not.
Result<Region> validate_region(const RegionArg& arg, std::uint32_t width, std::uint32_t height);

}  // namespace vistrel
