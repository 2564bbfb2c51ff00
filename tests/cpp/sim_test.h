// A fresh simulated machine per test, and the check that the test left no simulated
// object alive.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace vistrel::test {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        live_before_ = sim::live_objects();
    }
    void TearDown() override {
        sim::clear_faults();
        EXPECT_EQ(sim::live_objects(), live_before_) << "simulated objects leaked";
    }

    static void fail(const std::string& operation, HRESULT hresult, int skip = 0, int times = 1) {
        sim::Fault fault;
        fault.hresult = hresult;
        fault.skip = skip;
        fault.times = times;
        sim::fail(operation, fault);
    }
    static void fail_null(const std::string& operation, int skip = 0) {
        sim::Fault fault;
        fault.null = true;
        fault.skip = skip;
        sim::fail(operation, fault);
    }
    // The trace without releases and the DPI switch.
    static std::vector<std::string> calls() {
        std::vector<std::string> out;
        for (std::string& call : sim::trace(true))
            if (call.rfind("Release(", 0) != 0 && call != "SetProcessDpiAwarenessContext") out.push_back(call);
        return out;
    }
    static std::vector<std::string> releases(const std::vector<std::string>& trace) {
        std::vector<std::string> out;
        for (const std::string& call : trace)
            if (call.rfind("Release(", 0) == 0) out.push_back(call);
        return out;
    }

    long live_before_ = 0;
};

}  // namespace vistrel::test
