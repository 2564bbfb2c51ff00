#include "platform/sim/desktop.h"

#include <chrono>
#include <cstring>
#include <new>

namespace vistrel::sim {

namespace {

SurfacePtr padded_surface(std::uint32_t width, std::uint32_t height) {
    SurfacePtr s = posix::heap_surface(width, height, (width * 4 + 255) / 256 * 256);
    if (!s) throw std::bad_alloc();
    return s;
}

}  // namespace

SurfacePtr zero_surface(std::uint32_t width, std::uint32_t height) {
    SurfacePtr s = padded_surface(width, height);
    std::memset(s->data(), 0, s->size());
    return s;
}

SurfacePtr surface_from_packed(std::uint32_t width, std::uint32_t height, const std::uint8_t* packed) {
    SurfacePtr s = zero_surface(width, height);
    for (std::uint32_t y = 0; y < height; ++y)
        std::memcpy(s->data() + std::size_t{y} * s->pitch(), packed + std::size_t{y} * width * 4, width * 4);
    return s;
}

SurfacePtr copy_of(const Surface& surface) {
    SurfacePtr s = padded_surface(surface.width(), surface.height());
    std::memcpy(s->data(), surface.data(), s->size());
    return s;
}

std::vector<std::uint8_t> packed(const Surface& surface) {
    const std::uint32_t width = surface.width(), height = surface.height();
    std::vector<std::uint8_t> out(std::size_t{width} * height * 4);
    for (std::uint32_t y = 0; y < height; ++y)
        std::memcpy(out.data() + std::size_t{y} * width * 4, surface.data() + std::size_t{y} * surface.pitch(),
                    width * 4);
    return out;
}

SurfacePtr pattern_surface(std::uint32_t width, std::uint32_t height) {
    SurfacePtr s = zero_surface(width, height);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::uint8_t* row = s->data() + std::size_t{y} * s->pitch();
        for (std::uint32_t x = 0; x < width; ++x) {
            row[4 * x + 0] = static_cast<std::uint8_t>(x);
            row[4 * x + 1] = static_cast<std::uint8_t>(y);
            row[4 * x + 2] = static_cast<std::uint8_t>((x >> 8) | ((y >> 8) << 4));
            row[4 * x + 3] = 255;
        }
    }
    return s;
}

std::int64_t next_present_time() {
    static std::mutex mutex;
    static std::int64_t last = 0;
    std::lock_guard lock(mutex);
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    std::int64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    last = ticks > last ? ticks : last + 1;  // strictly increasing
    return last;
}

OutputState::OutputState(const OutputConfig& output_config) : config(output_config) {
    const bool turned =
        config.rotation == DXGI_MODE_ROTATION_ROTATE90 || config.rotation == DXGI_MODE_ROTATION_ROTATE270;
    const auto desktop_width = static_cast<std::uint32_t>(config.width);
    const auto desktop_height = static_cast<std::uint32_t>(config.height);
    mode_width = config.mode ? config.mode->first : turned ? desktop_height : desktop_width;
    mode_height = config.mode ? config.mode->second : turned ? desktop_width : desktop_height;
    image = pattern_surface(mode_width, mode_height);
}

OutputState::~OutputState() { stop_animation(); }

HRESULT OutputState::admission() {
    std::lock_guard lock(mutex);
    return secure ? E_ACCESSDENIED : !duplications.empty() ? E_INVALIDARG : S_OK;
}

HRESULT OutputState::add_duplication(DuplicationState* state) {
    std::lock_guard lock(mutex);
    if (secure) return E_ACCESSDENIED;
    if (!duplications.empty()) return E_INVALIDARG;
    state->mode_width = mode_width;
    state->mode_height = mode_height;
    const std::int64_t now = next_present_time();
    state->pending.image = !config.blank_first_frame;
    state->pending.blank = config.blank_first_frame;
    state->pending.present_time = now;
    state->pending.position = true;
    state->pending.mouse_time = now;
    state->pending.shape = shape != nullptr;
    state->pending.accumulated = 1;
    duplications.push_back(state);
    return S_OK;
}

void OutputState::remove_duplication(DuplicationState* state) {
    std::lock_guard lock(mutex);
    std::erase(duplications, state);
}

std::int64_t OutputState::present(SurfacePtr new_image, const PointerUpdate* pointer) {
    const std::int64_t time = next_present_time();
    {
        std::lock_guard lock(mutex);
        bool moved = false, shaped = false;
        if (pointer) {
            if (pointer->x) pointer_x = *pointer->x;
            if (pointer->y) pointer_y = *pointer->y;
            if (pointer->visible) pointer_visible = *pointer->visible;
            moved = pointer->x || pointer->y || pointer->visible;
            if (pointer->shape) {
                shape = std::make_shared<const PointerShape>(*pointer->shape);
                shaped = true;
            }
        }
        const bool image_update = new_image != nullptr;
        if (image_update) image = std::move(new_image);
        for (DuplicationState* d : duplications) {
            PendingUpdate& p = d->pending;
            if (image_update) {
                p.image = true;
                p.blank = false;
                p.present_time = time;
            }
            if (moved) {
                p.position = true;
                p.mouse_time = time;
            }
            p.shape = p.shape || shaped;
            ++p.accumulated;
        }
    }
    changed.notify_all();
    return time;
}

void OutputState::lose_access(std::optional<std::pair<std::uint32_t, std::uint32_t>> new_mode) {
    {
        std::lock_guard lock(mutex);
        for (DuplicationState* d : duplications) d->lost = true;
        if (new_mode && (new_mode->first != mode_width || new_mode->second != mode_height)) {
            mode_width = new_mode->first;
            mode_height = new_mode->second;
            image = pattern_surface(mode_width, mode_height);
        }
    }
    changed.notify_all();
}

void OutputState::set_secure_desktop(bool on) {
    {
        std::lock_guard lock(mutex);
        secure = on;
        if (on)
            for (DuplicationState* d : duplications) d->lost = true;
    }
    changed.notify_all();
}

void OutputState::animate(double hz) {
    stop_animation();
    if (hz <= 0) return;
    {
        std::lock_guard lock(animator_mutex_);
        animator_stop_ = false;
    }
    animator_ = std::thread([this, hz] { animation_loop(hz); });
}

void OutputState::stop_animation() {
    if (!animator_.joinable()) return;
    {
        std::lock_guard lock(animator_mutex_);
        animator_stop_ = true;
    }
    animator_wake_.notify_all();
    animator_.join();
}

void OutputState::animation_loop(double hz) {
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(1.0 / hz));
    SurfacePtr base;
    {
        std::lock_guard lock(mutex);
        base = image;
    }
    // Images nobody else holds any more are reused: only their first pixel changes.
    std::vector<SurfacePtr> pool;
    std::uint32_t counter = 0;
    auto deadline = clock::now();
    for (;;) {
        deadline += period;
        {
            std::unique_lock lock(animator_mutex_);
            if (animator_wake_.wait_until(lock, deadline, [this] { return animator_stop_; })) return;
        }
        SurfacePtr next;
        for (auto& candidate : pool)
            if (candidate.use_count() == 1) next = candidate;
        if (!next) {
            next = copy_of(*base);
            pool.push_back(next);
        }
        ++counter;
        std::memcpy(next->data(), &counter, sizeof counter);
        present(next, nullptr);
    }
}

}  // namespace vistrel::sim
