// The simulated machine's call trace: bounded when nobody reads it, exact when read.
#include "tests/cpp/sim_test.h"

namespace vistrel {
namespace {

class TraceTest : public test::SimTest {};

TEST_F(TraceTest, KeepsTheNewestCallsUpToItsLimit) {
    const std::size_t extra = 5;
    for (std::size_t i = 0; i < sim::kTraceLimit + extra; ++i) sim::record("call " + std::to_string(i));
    std::vector<std::string> kept = sim::trace(false);
    ASSERT_EQ(kept.size(), sim::kTraceLimit);
    EXPECT_EQ(kept.front(), "call " + std::to_string(extra));
    EXPECT_EQ(kept.back(), "call " + std::to_string(sim::kTraceLimit + extra - 1));

    EXPECT_EQ(sim::trace(true), kept);  // reading without clearing lost nothing
    EXPECT_TRUE(sim::trace(false).empty());
    sim::record("after");
    EXPECT_EQ(sim::trace(true), std::vector<std::string>{"after"});
}

}  // namespace
}  // namespace vistrel
