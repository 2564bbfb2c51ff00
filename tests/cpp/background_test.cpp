// The latest-frame slot between a capture thread and its consumer: the consumer's wait,
// and which buffers the thread hands over or reuses. No assertion depends on timing:
// threads meet through the slot itself, and waits are bounded only as a safety net.
#include "src/capture/background.h"

#include <algorithm>
#include <thread>
#include <variant>

#include "src/py/gil.h"
#include "tests/cpp/sim_test.h"

namespace vistrel {
namespace {

constexpr std::uint64_t kSafetyNetNs = 10'000'000'000;  // a hang fails the test instead of blocking it

Pixels bytes_of(std::uint8_t value, std::size_t length = 16) {
    auto pixels = std::make_shared<FrameBytes>(length);
    std::fill(pixels->data(), pixels->data() + length, value);
    return pixels;
}

class SlotTest : public test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        auto event = os::AutoResetEvent::create();
        ASSERT_TRUE(event);
        shared_.emplace(std::move(event));
    }
    void TearDown() override {
        shared_.reset();
        SimTest::TearDown();
    }
    // What the capture thread does to publish.
    void publish(std::uint64_t seq, Pixels pixels) {
        {
            std::lock_guard lock(shared_->latest_mutex);
            shared_->latest = LatestFrame{seq, std::move(pixels)};
        }
        shared_->frame_event->set();
    }

    std::optional<CaptureShared> shared_;
};

TEST_F(SlotTest, AWaitingFrameIsTakenAtOnceWithItsBuffer) {
    Pixels published = bytes_of(7);
    const FrameBytes* buffer = published.get();
    publish(3, published);
    published.reset();
    EXPECT_EQ(waiting_seq(*shared_), 3u);

    WaitOutcome outcome = wait_for_frame(*shared_, 0);
    ASSERT_TRUE(std::holds_alternative<LatestFrame>(outcome));
    LatestFrame& frame = std::get<LatestFrame>(outcome);
    EXPECT_EQ(frame.seq, 3u);
    EXPECT_EQ(frame.pixels.get(), buffer);   // the very buffer, not a copy
    EXPECT_EQ(frame.pixels.use_count(), 1);  // and the slot kept no reference
    EXPECT_EQ(waiting_seq(*shared_), 0u);

    // Taken means gone: the next wait finds nothing, even with the event still signalled.
    shared_->frame_event->set();
    WaitOutcome again = wait_for_frame(*shared_, 0);
    ASSERT_TRUE(std::holds_alternative<Failure>(again));
    EXPECT_EQ(std::get<Failure>(again).kind(), Failure::Kind::DeadlineExpired);
}

TEST_F(SlotTest, OnlyTheNewestFrameWaits) {
    Pixels first = bytes_of(1);
    publish(1, first);
    publish(2, bytes_of(2));
    EXPECT_EQ(first.use_count(), 1);  // replacing it released the slot's reference
    WaitOutcome outcome = wait_for_frame(*shared_, 0);
    ASSERT_TRUE(std::holds_alternative<LatestFrame>(outcome));
    EXPECT_EQ(std::get<LatestFrame>(outcome).seq, 2u);
}

TEST_F(SlotTest, OnlyANewerFrameIsTakenWithoutWaiting) {
    EXPECT_FALSE(take_newer(*shared_, 0));  // an empty slot: nothing, at once
    Pixels pixels = bytes_of(4);
    const FrameBytes* buffer = pixels.get();
    publish(5, std::move(pixels));
    EXPECT_FALSE(take_newer(*shared_, 5));  // not newer than what the consumer has
    EXPECT_EQ(waiting_seq(*shared_), 5u);   // and left where it was
    std::optional<LatestFrame> frame = take_newer(*shared_, 4);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->seq, 5u);
    EXPECT_EQ(frame->pixels.get(), buffer);
    EXPECT_EQ(waiting_seq(*shared_), 0u);
}

TEST_F(SlotTest, AWaitWithoutLimitEndsWithThePublishOrTheStop) {
    // Each round publishes while the consumer is somewhere in its wait: before it looks
    // at the slot, or blocked on the event. Whichever it is, it takes exactly that frame.
    for (std::uint64_t round = 1; round <= 200; ++round) {
        std::optional<WaitOutcome> outcome;
        std::thread consumer([&] { outcome.emplace(wait_for_frame(*shared_, std::nullopt)); });
        Pixels pixels = bytes_of(static_cast<std::uint8_t>(round));
        const FrameBytes* buffer = pixels.get();
        publish(round, std::move(pixels));
        consumer.join();
        ASSERT_TRUE(std::holds_alternative<LatestFrame>(*outcome)) << "round " << round;
        EXPECT_EQ(std::get<LatestFrame>(*outcome).seq, round);
        EXPECT_EQ(std::get<LatestFrame>(*outcome).pixels.get(), buffer);
    }
    // The stop flag with its prompt ends a wait that no frame will end.
    std::optional<WaitOutcome> outcome;
    std::thread consumer([&] { outcome.emplace(wait_for_frame(*shared_, std::nullopt)); });
    shared_->stop.store(true);
    shared_->frame_event->set();
    consumer.join();
    EXPECT_TRUE(std::holds_alternative<Stopped>(*outcome));
}

TEST_F(SlotTest, AFrameStillWaitingIsDeliveredBeforeTheStop) {
    publish(1, bytes_of(1));
    shared_->stop.store(true);
    EXPECT_TRUE(std::holds_alternative<LatestFrame>(wait_for_frame(*shared_, 0)));
    EXPECT_TRUE(std::holds_alternative<Stopped>(wait_for_frame(*shared_, 0)));
}

// A real capture thread over the simulated machine.
class CaptureThreadTest : public test::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        open();
    }
    void TearDown() override {
        stop();
        SessionTest::TearDown();
    }
    void start(bool video_mode, Region region = kRegion) {
        background_.emplace(spawn_capture(std::move(*session_), {0, region, video_mode, std::nullopt}));
        session_.reset();
    }
    void stop() {
        if (background_) session_ = stop_and_join(background_);
    }
    static void present(std::uint8_t value) {
        std::vector<std::uint8_t> image(std::size_t{1920} * 1080 * 4, value);
        ASSERT_GE(sim::present(0, 0, &image, nullptr), 0);
    }
    // The next published frame whose pixels are all `value`; frames before it are dropped.
    Pixels next_showing(std::uint8_t value) {
        for (;;) {
            std::optional<WaitOutcome> outcome;
            {
                py::ReleaseGil released;  // a failing thread takes it to convert its failure
                outcome.emplace(wait_for_frame(*background_->shared, kSafetyNetNs));
            }
            if (!std::holds_alternative<LatestFrame>(*outcome)) {
                ADD_FAILURE() << "no frame showing " << int{value};
                return nullptr;
            }
            Pixels pixels = std::move(std::get<LatestFrame>(*outcome).pixels);
            if (pixels->data()[0] == value) return pixels;
        }
    }

    static constexpr Region kRegion{8, 4, 24, 12};
    std::optional<BackgroundCapture> background_;
};

TEST_F(CaptureThreadTest, VideoModeReusesABufferOnlyOnceNobodyHoldsIt) {
    start(true);
    present(1);
    Pixels first = next_showing(1);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), std::size_t{kRegion.width()} * kRegion.height() * 4);
    const FrameBytes* first_buffer = first.get();
    first.reset();

    // The thread still republishes the first buffer as its last frame: the next frame
    // needs a buffer of its own.
    present(2);
    Pixels second = next_showing(2);
    ASSERT_TRUE(second);
    EXPECT_NE(second.get(), first_buffer);
    const FrameBytes* second_buffer = second.get();

    // Now only the pool holds the first buffer: the next frame is drawn into it, while
    // the second, held here and as the last frame, is left alone.
    present(3);
    Pixels third = next_showing(3);
    ASSERT_TRUE(third);
    EXPECT_EQ(third.get(), first_buffer);
    EXPECT_EQ(second->data()[0], 2);
    EXPECT_NE(third.get(), second_buffer);
}

TEST_F(CaptureThreadTest, VideoModeNeverDrawsIntoABufferTheConsumerHolds) {
    start(true);
    present(1);
    Pixels held = next_showing(1);
    ASSERT_TRUE(held);
    present(2);
    ASSERT_TRUE(next_showing(2));
    // The first buffer is in the pool and no longer the last frame, but held here.
    present(3);
    Pixels third = next_showing(3);
    ASSERT_TRUE(third);
    EXPECT_NE(third.get(), held.get());
    EXPECT_EQ(std::count(held->data(), held->data() + held->size(), 1), static_cast<std::ptrdiff_t>(held->size()));
}

// A region outside the image makes read-back an internal fault on the thread: it must be
// stored as the thread's failure and end every wait, and the session must come back.
TEST_F(CaptureThreadTest, AnInternalFaultEndsTheThreadAsAFailure) {
    start(false, Region{0, 0, 4000, 10});
    present(1);
    std::optional<WaitOutcome> outcome;
    {
        py::ReleaseGil released;
        outcome.emplace(wait_for_frame(*background_->shared, std::nullopt));
    }
    ASSERT_TRUE(std::holds_alternative<Failure>(*outcome));
    const Failure& failure = std::get<Failure>(*outcome);
    EXPECT_EQ(failure.kind(), Failure::Kind::Described);
    EXPECT_EQ(failure.text().rfind("InternalFault: ", 0), 0u) << failure.text();
    EXPECT_TRUE(background_->shared->stop.load());
    stop();
    EXPECT_TRUE(session_.has_value());
}

}  // namespace
}  // namespace vistrel
