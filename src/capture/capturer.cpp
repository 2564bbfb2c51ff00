// The Capturer's state transitions: opening and reopening its session, the region a
// capture reads, handing the session to a capture thread and taking it back, closing.
#include "src/capture/capturer.h"

#include "src/errors.h"
#include "src/py/gil.h"

namespace vistrel {

Result<DuplicationSession> open_session_unlocked(std::uint32_t device, std::uint32_t output, bool cursor,
                                                 std::u16string_view same_output, bool warm_up,
                                                 std::optional<std::string> cast_token) {
    // Opening waits up to 100 ms for its warm-up frames (and a portal for its dialog):
    // other threads run meanwhile.
    py::ReleaseGil released;
    return DuplicationSession::open(device, output, cursor, same_output, warm_up, std::move(cast_token));
}

void CapturerState::adopt(DuplicationSession opened) {
    width = opened.width;
    height = opened.height;
    rotation = opened.rotation;
    output_idx = opened.output_index;
    output_name = opened.output_name;
    cast_token = opened.cast_token;
    // The default region is the whole output, whatever size the output has now.
    if (region_is_default) region = Region::whole(width, height);
    session.emplace(std::move(opened));
    lifecycle->enter(Stage::Ready);
}

void CapturerState::put_back(DuplicationSession returned) {
    session.emplace(std::move(returned));
    lifecycle->enter(Stage::Ready);
}

void CapturerState::enter_background(BackgroundCapture running) {
    background.emplace(std::move(running));
    lifecycle->enter(Stage::Background);
}

std::optional<DuplicationSession> CapturerState::stop_background() {
    lifecycle->enter(Stage::Detached);
    return stop_and_join(background);
}

bool require(const CapturerState& state, Need need) {
    const std::optional<Refusal> refusal = refusal_for(*state.lifecycle, need);
    if (!refusal) return true;
    PyErr_SetString(PyExc_RuntimeError, refusal_text(*refusal).data());  // literals: NUL-terminated
    return false;
}

DuplicationSession* ensure_session(CapturerState& state) {
    if (!require(state, Need::Session)) return nullptr;
    if (state.stage() == Stage::Ready) return &*state.session;
    auto opened = open_session_unlocked(state.device_idx, state.output_idx, state.cursor, state.output_name, true,
                                        state.cast_token);
    if (!opened) {
        raise_failure(opened.take_failure());
        return nullptr;
    }
    state.adopt(std::move(opened).value());
    return &*state.session;
}

Result<Region> capture_region(const CapturerState& state, const DuplicationSession& session,
                              const std::optional<RegionArg>& given) {
    if (given) return validate_region(*given, session.width, session.height);
    if (state.region_is_default) return Region::whole(session.width, session.height);
    // A region the caller chose may no longer fit a session reopened at another size.
    const Region& r = state.region;
    return validate_region({r.left, r.top, r.right, r.bottom}, session.width, session.height);
}

std::optional<TakenSession> take_session_for_thread(CapturerState& state, const std::optional<RegionArg>& region) {
    DuplicationSession* session = ensure_session(state);
    if (!session) return std::nullopt;
    auto valid = capture_region(state, *session, region);
    if (!valid) {
        raise_failure(valid.take_failure());
        return std::nullopt;
    }
    TakenSession taken{std::move(*state.session), valid.value()};
    state.session.reset();
    state.lifecycle->enter(Stage::Detached);  // until the caller's thread is running
    return taken;
}

void discard_background(CapturerState& state) {
    if (state.stage() != Stage::Background) return;
    std::optional<DuplicationSession> returned = state.stop_background();
    (void)returned;  // released here
}

void close_capturer(CapturerState& state) {
    discard_background(state);
    state.session.reset();
    state.lifecycle->enter(Stage::Closed);
}

}  // namespace vistrel
