#include "src/convert/convert_bgra.h"

#include <cstring>
#include <limits>
#include <string>

#include "src/convert/cpu_features.h"
#include "src/convert/kernels.h"

namespace vistrel {
namespace {

const kernels::KernelSet& kernel_set(Isa isa) {
    switch (isa) {
#if defined(VISTREL_X86_SIMD)
        case Isa::Sse2:
            return kernels::kSse2;
        case Isa::Ssse3:
            return kernels::kSsse3;
        case Isa::Avx2:
            return kernels::kAvx2;
#endif
        default:
            return kernels::kScalar;
    }
}

bool supported(Isa isa) {
    const CpuFeatures& cpu = cpu_features();
    switch (isa) {
        case Isa::Scalar:
            return true;
#if defined(VISTREL_X86_SIMD)
        case Isa::Sse2:
            return cpu.sse2;
        case Isa::Ssse3:
            return cpu.sse2 && cpu.ssse3;
        case Isa::Avx2:
            return cpu.sse2 && cpu.ssse3 && cpu.avx2;
#endif
        default:
            return false;
    }
}

Isa best_isa() {
    static const Isa best = available_isas().back();
    return best;
}

// width x height x bytes, or a fault if that does not fit a size.
std::size_t byte_count(std::uint32_t width, std::uint32_t height, unsigned bytes) {
    const std::size_t pixels = std::size_t{width} * height;
    if (height != 0 && pixels / height != width) throw InternalFault("convert_bgra: image size overflows");
    if (pixels > std::numeric_limits<std::size_t>::max() / bytes)
        throw InternalFault("convert_bgra: image size overflows");
    return pixels * bytes;
}

}  // namespace

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::Scalar:
            return "scalar";
        case Isa::Sse2:
            return "sse2";
        case Isa::Ssse3:
            return "ssse3";
        case Isa::Avx2:
            return "avx2";
    }
    return "?";
}

std::vector<Isa> available_isas() {
    std::vector<Isa> isas;
    for (Isa isa : {Isa::Scalar, Isa::Sse2, Isa::Ssse3, Isa::Avx2})
        if (supported(isa)) isas.push_back(isa);
    return isas;
}

void convert_bgra_with(Isa isa, PixelFormat format, const std::uint8_t* source, std::size_t source_length,
                       std::uint8_t* destination, std::size_t destination_length, std::uint32_t width,
                       std::uint32_t height) {
    const std::size_t needed_source = byte_count(width, height, 4);
    const std::size_t needed_destination = byte_count(width, height, channel_count(format));
    if (source_length < needed_source || destination_length < needed_destination) {
        throw InternalFault("convert_bgra: buffer too short (source " + std::to_string(source_length) + " of " +
                            std::to_string(needed_source) + " bytes, destination " +
                            std::to_string(destination_length) + " of " + std::to_string(needed_destination) + ")");
    }
    if (!supported(isa)) isa = Isa::Scalar;
    const std::size_t pixels = needed_source / 4;
    const kernels::KernelSet& set = kernel_set(isa);
    switch (format) {
        case PixelFormat::Bgra:
            if (pixels) std::memcpy(destination, source, needed_source);
            break;
        case PixelFormat::Bgr:
            set.bgr(source, destination, pixels);
            break;
        case PixelFormat::Rgba:
            set.rgba(source, destination, pixels);
            break;
        case PixelFormat::Rgb:
            set.rgb(source, destination, pixels);
            break;
        case PixelFormat::Gray:
            set.gray(source, destination, pixels);
            break;
    }
}

void convert_bgra(PixelFormat format, const std::uint8_t* source, std::size_t source_length, std::uint8_t* destination,
                  std::size_t destination_length, std::uint32_t width, std::uint32_t height) {
    convert_bgra_with(best_isa(), format, source, source_length, destination, destination_length, width, height);
}

}  // namespace vistrel
