// convert_bgra: packed BGRA rows into one of the five layouts. Pure CPU work over byte
// buffers; runs with the interpreter lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "src/convert/pixel_format.h"

namespace vistrel {

// Fills `destination` (width x height x channel_count bytes) from `source` (width x
// height x 4 bytes). A buffer shorter than that is an internal fault (InternalFault),
// never an access out of bounds. Uses the best instruction set of this CPU.
void convert_bgra(PixelFormat format, const std::uint8_t* source, std::size_t source_length, std::uint8_t* destination,
                  std::size_t destination_length, std::uint32_t width, std::uint32_t height);

// The instruction sets convert_bgra can run on; every one gives identical bytes.
enum class Isa { Scalar, Sse2, Ssse3, Avx2 };
const char* isa_name(Isa isa);
// Those this build and this CPU support, the best last.
std::vector<Isa> available_isas();
// convert_bgra on a chosen instruction set (tests and benchmarks).
void convert_bgra_with(Isa isa, PixelFormat format, const std::uint8_t* source, std::size_t source_length,
                       std::uint8_t* destination, std::size_t destination_length, std::uint32_t width,
                       std::uint32_t height);

}  // namespace vistrel
