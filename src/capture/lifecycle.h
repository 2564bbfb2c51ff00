// The Capturer's state machine: its five states, what each method needs of them, and the
// one table of texts a refusal raises. No Python here: the Capturer raises what this says.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vistrel {

// Ready: holds a session. Detached: holds none (a frames() iterator ended with it), and the
// next one-shot capture reopens one. Background: a start() thread holds the session.
// Iterating: a frames() iterator's thread holds it. Closed: after close(), for good.
enum class Stage { Ready, Detached, Background, Iterating, Closed };

// The Capturer's state, shared with the frames() iterators made from it: an iterator that
// ends takes Iterating to Detached. A Capturer closed while its iterator runs stays Closed,
// and still counts the iterator as running until it ends.
class Lifecycle {
public:
    Stage stage() const { return stage_; }
    bool iterator_running() const { return iterator_ != 0; }
    void enter(Stage stage) { stage_ = stage; }

    // Enters Iterating; the token is the iterator's, and only it can end the iteration, so
    // an iterator closed twice cannot end a newer one's.
    std::uint64_t start_iterating() {
        stage_ = Stage::Iterating;
        return iterator_ = ++last_token_;
    }
    void iterator_ended(std::uint64_t token) {
        if (iterator_ != token) return;
        iterator_ = 0;
        if (stage_ == Stage::Iterating) stage_ = Stage::Detached;
    }

private:
    Stage stage_ = Stage::Ready;
    std::uint64_t iterator_ = 0;
    std::uint64_t last_token_ = 0;
};

// What a method needs before it goes on; each method asks for its needs in its own order
// (grab checks for an iterator before its fmt, and its fmt before the session).
enum class Need {
    NoIterator,           // grab, grab_gpu, screenshot, start
    NoFurtherIterator,    // frames
    Open,                 // width, height, rotation, cursor
    Session,              // a capture that uses the session here (a Detached one reopens it)
    NotCapturing,         // start
    NotInBackground,      // frames
    BackgroundCapturing,  // get_latest_frame
};

// Why a method refused, each with the one text it raises (a RuntimeError).
enum class Refusal { Closed, Busy, BusyAlready, InBackground, InBackgroundStopFirst, AlreadyCapturing, NotCapturing };

constexpr std::string_view refusal_text(Refusal refusal) {
    switch (refusal) {
        case Refusal::Closed:
            return "Capturer is closed";
        case Refusal::Busy:
            return "Capturer is busy: a frames() iterator is active";
        case Refusal::BusyAlready:
            return "Capturer is busy: a frames() iterator is already active";
        case Refusal::InBackground:
            return "Capturer is in background mode";
        case Refusal::InBackgroundStopFirst:
            return "Capturer is in background mode; call stop() first";
        case Refusal::AlreadyCapturing:
            return "Capturer is already capturing; call stop() first";
        case Refusal::NotCapturing:
            return "Capturer is not capturing; call start() first";
    }
    return {};
}

// The refusal `need` meets in the Capturer's state, or nothing when the method may go on.
inline std::optional<Refusal> refusal_for(const Lifecycle& life, Need need) {
    const Stage stage = life.stage();
    switch (need) {
        case Need::NoIterator:
            if (life.iterator_running()) return Refusal::Busy;
            break;
        case Need::NoFurtherIterator:
            if (life.iterator_running()) return Refusal::BusyAlready;
            break;
        case Need::Open:
            if (stage == Stage::Closed) return Refusal::Closed;
            break;
        case Need::Session:
            if (stage == Stage::Closed) return Refusal::Closed;
            if (stage == Stage::Background) return Refusal::InBackground;
            if (stage == Stage::Iterating) return Refusal::Busy;  // its callers ask NoIterator first
            break;
        case Need::NotCapturing:
            if (stage == Stage::Background) return Refusal::AlreadyCapturing;
            break;
        case Need::NotInBackground:
            if (stage == Stage::Background) return Refusal::InBackgroundStopFirst;
            break;
        case Need::BackgroundCapturing:
            if (stage != Stage::Background) return Refusal::NotCapturing;
            break;
    }
    return std::nullopt;
}

}  // namespace vistrel
