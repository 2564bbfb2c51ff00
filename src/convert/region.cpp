#include "src/convert/region.h"

#include <string>

namespace vistrel {
namespace {

std::string join(const RegionArg& a, const char* separator) {
    return std::to_string(a.left) + separator + std::to_string(a.top) + separator + std::to_string(a.right) +
           separator + std::to_string(a.bottom);
}

}  // namespace

Result<Region> validate_region(const RegionArg& a, std::uint32_t width, std::uint32_t height) {
    if (a.left < 0 || a.top < 0 || a.right < 0 || a.bottom < 0)
        return Failure::bad_value("region bounds must be >= 0, got (" + join(a, ", ") + ")");
    if (!(a.left < a.right && a.top < a.bottom))
        return Failure::bad_value("region must be non-empty (left<right, top<bottom), got (" + join(a, ",") + ")");
    if (!(a.right <= std::int64_t{width} && a.bottom <= std::int64_t{height}))
        return Failure::bad_value("region (" + join(a, ",") + ") exceeds output bounds (" + std::to_string(width) +
                                  "x" + std::to_string(height) + ")");
    return Region{static_cast<std::uint32_t>(a.left), static_cast<std::uint32_t>(a.top),
                  static_cast<std::uint32_t>(a.right), static_cast<std::uint32_t>(a.bottom)};
}

}  // namespace vistrel
