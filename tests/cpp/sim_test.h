// The scaffolding of the tests that drive the simulated machine: a fresh machine per
// test with the check that the test left no simulated object alive, faults that fail
// the test when their operation is unknown, and a fixture holding one open session.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "duplication/device.h"
#include "platform/sim/machine.h"

namespace vistrel::test {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override {
        sim::clear_faults();
        EXPECT_EQ(sim::live_objects(), live_before_) << "simulated objects leaked";
    }

    // Replaces the machine; the objects alive now are the baseline of the leak check.
    void reset(sim::MachineConfig machine = sim::MachineConfig::default_machine()) {
        sim::reset(std::move(machine));
        live_before_ = sim::live_objects();
    }

    static void fail(const std::string& operation, sim::Fault fault) {
        EXPECT_TRUE(sim::fail(operation, std::move(fault))) << "no simulated call consults \"" << operation << "\"";
    }
    static void fail(const std::string& operation, HRESULT hresult, int skip = 0, int times = 1) {
        sim::Fault fault;
        fault.hresult = hresult;
        fault.skip = skip;
        fault.times = times;
        fail(operation, std::move(fault));
    }
    static void fail_null(const std::string& operation, int skip = 0) {
        sim::Fault fault;
        fault.null = true;
        fault.skip = skip;
        fail(operation, std::move(fault));
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

// A test over one open session (output 0 of adapter 0, with the pointer), released
// before the leak check.
class SessionTest : public SimTest {
protected:
    void TearDown() override {
        session_.reset();
        SimTest::TearDown();
    }

    // Replaces the machine and opens the session on it.
    void open(sim::MachineConfig machine = sim::MachineConfig::default_machine()) {
        session_.reset();
        reset(std::move(machine));
        auto opened = DuplicationSession::open(0, 0, true);
        ASSERT_TRUE(opened.ok());
        session_.emplace(std::move(opened).value());
    }

    std::optional<DuplicationSession> session_;
};

}  // namespace vistrel::test
