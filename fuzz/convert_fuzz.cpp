// Every instruction set convert_bgra can run on gives the scalar loops' bytes, for every
// layout and for any width, height and pixel content; a buffer one byte short is refused.
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "src/convert/convert_bgra.h"

using namespace vistrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto format = static_cast<PixelFormat>(in.take<std::uint8_t>() % 5);
    const std::uint32_t width = in.upto(300);
    const std::uint32_t height = in.upto(5);
    const bool short_buffer = in.take<std::uint8_t>() == 0xA5;
    const std::size_t source_length = std::size_t{width} * height * 4;
    const std::size_t destination_length = std::size_t{width} * height * channel_count(format);

    // Exactly sized heap buffers, so a kernel reading or writing past either end is caught.
    std::vector<std::uint8_t> source(source_length);
    for (std::size_t i = 0; i < source_length; ++i)
        source[i] = in.rest_size() ? in.rest()[i % in.rest_size()] : static_cast<std::uint8_t>(i * 131);

    if (short_buffer && destination_length) {
        for (Isa isa : available_isas()) {
            std::vector<std::uint8_t> destination(destination_length - 1);
            bool refused = false;
            try {
                convert_bgra_with(isa, format, source.data(), source.size(), destination.data(), destination.size(),
                                  width, height);
            } catch (const InternalFault&) {
                refused = true;
            }
            if (!refused) std::abort();
        }
        return 0;
    }

    std::vector<std::uint8_t> expected(destination_length);
    convert_bgra_with(Isa::Scalar, format, source.data(), source.size(), expected.data(), expected.size(), width,
                      height);
    for (Isa isa : available_isas()) {
        std::vector<std::uint8_t> actual(destination_length);
        convert_bgra_with(isa, format, source.data(), source.size(), actual.data(), actual.size(), width, height);
        if (actual != expected) std::abort();
    }
    std::vector<std::uint8_t> best(destination_length);
    convert_bgra(format, source.data(), source.size(), best.data(), best.size(), width, height);
    if (best != expected) std::abort();
    return 0;
}
