// convert_bgra per layout and instruction set, beside a memcpy of the same source
// bytes measured in the same run (bench/report.py prints the ratios).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "src/convert/convert_bgra.h"

namespace vistrel {
namespace {

struct Size {
    std::uint32_t width, height;
};
constexpr Size kSizes[] = {{1920, 1080}, {3840, 2160}};

std::vector<std::uint8_t> desktop(Size size) {
    std::vector<std::uint8_t> bgra(std::size_t{size.width} * size.height * 4);
    for (std::size_t i = 0; i < bgra.size(); ++i) bgra[i] = static_cast<std::uint8_t>(i * 31 + (i >> 12));
    return bgra;
}

void memcpy_baseline(benchmark::State& state, Size size) {
    std::vector<std::uint8_t> source = desktop(size);
    std::vector<std::uint8_t> destination(source.size(), 1);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), source.size());
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

void convert(benchmark::State& state, Size size, PixelFormat format, Isa isa) {
    std::vector<std::uint8_t> source = desktop(size);
    std::vector<std::uint8_t> destination(std::size_t{size.width} * size.height * channel_count(format), 1);
    for (auto _ : state) {
        convert_bgra_with(isa, format, source.data(), source.size(), destination.data(), destination.size(), size.width,
                          size.height);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

const char* format_name(PixelFormat format) {
    constexpr const char* kNames[] = {"bgra", "bgr", "rgba", "rgb", "gray"};
    return kNames[static_cast<int>(format)];
}

// Registered at start-up so the instruction sets are those of the running CPU.
const bool g_registered = [] {
    for (Size size : kSizes) {
        // Built with append: g++ 12 warns falsely (-Wrestrict) on "literal" + std::string.
        std::string suffix = "/";
        suffix.append(std::to_string(size.width)).append("x").append(std::to_string(size.height));
        std::string baseline = "memcpy";
        baseline.append(suffix);
        benchmark::RegisterBenchmark(baseline.c_str(), memcpy_baseline, size)->UseRealTime();
        for (PixelFormat format : {PixelFormat::Rgba, PixelFormat::Bgr, PixelFormat::Rgb, PixelFormat::Gray}) {
            for (Isa isa : available_isas()) {
                std::string name = "convert/";
                name.append(format_name(format)).append("/").append(isa_name(isa)).append(suffix);
                benchmark::RegisterBenchmark(name.c_str(), convert, size, format, isa)->UseRealTime();
            }
        }
    }
    return true;
}();

}  // namespace
}  // namespace vistrel

BENCHMARK_MAIN();
