#include "reader/display_times.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace vorn::reader {
namespace {

constexpr double kNsPerMs = 1'000'000.0;
// Events with precise times that fall on the same nanosecond (or that a
// clock set back would put before their predecessor) are kept this far
// apart, so that every event still has a time of its own: 1 ns.
constexpr double kApart = 1e-6;

}  // namespace

double round_thousandths(double value, std::int64_t* thousandths, bool* exact) {
    if (exact != nullptr) *exact = false;
    // Below 2^42 the scaled value keeps a fraction finer than a quarter and
    // the product's rounding error is found exactly; beyond, the slow way.
    if (!(std::fabs(value) < 4.0e12)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", value);
        return std::strtod(text, nullptr);
    }
    const double product = value * 1000.0;
    const double error = std::fma(value, 1000.0, -product);  // product + error == value * 1000 exactly
    const double floor = std::floor(product);
    const double fraction = product - floor;
    double whole = floor;
    if (fraction >= 0.25) {
        const double above_half = fraction - 0.5;
        const double sign = above_half != 0 ? above_half : error;
        if (sign > 0 || (sign == 0 && std::fmod(floor, 2.0) != 0)) whole = floor + 1;
    }
    const auto scaled = static_cast<std::int64_t>(whole);
    if (thousandths != nullptr) *thousandths = scaled;
    if (exact != nullptr) *exact = true;
    return static_cast<double>(scaled) / 1000.0;
}

void DisplayTimes::add(const Event& event) {
    std::int64_t tick = 0;
    std::optional<std::int64_t> ns;
    if (event.kind == EventKind::exit) {
        // A scope that never closed ends at the last moment so far: its
        // exit comes after every other event of the file.
        tick = event.scope->ts_exit ? *event.scope->ts_exit : millisecond_.value_or(0);
        ns = event.scope->ts_exit_ns;
    } else if (event.kind == EventKind::enter) {
        tick = event.scope->ts_enter;
        ns = event.scope->ts_enter_ns;
    } else {
        tick = event.instant->ts;
        ns = event.instant->ts_ns;
    }
    if (!millisecond_ || tick > *millisecond_) {
        if (held_ > 0) place_run();
        millisecond_ = tick;
    }
    if (held_ == run_.size()) {
        run_.emplace_back();
        precise_.emplace_back();
    }
    HeldEvent& held = run_[held_];
    precise_[held_] = ns;
    ++held_;
    held.kind = event.kind;
    held.depth = event.depth;
    held.ns = ns;
    if (event.kind == EventKind::enter && !enters_) return;
    const bool of_scope = event.kind != EventKind::record;
    held.invoker.assign(of_scope ? event.scope->invoker : event.instant->invoker);
    held.file.assign(of_scope ? event.scope->file : event.instant->file);
    held.args.assign(of_scope ? event.scope->args : event.instant->args);
    held.line = of_scope ? event.scope->line : event.instant->line;
    held.ts = of_scope ? event.scope->ts_enter : event.instant->ts;
    held.ts_exit = event.kind == EventKind::exit ? event.scope->ts_exit : std::nullopt;
}

void DisplayTimes::finish() {
    if (held_ > 0) place_run();
}

void DisplayTimes::place_run() {
    run_times();
    last_ = times_[held_ - 1];
    any_placed_ = true;
    for (std::size_t k = 0; k < held_; ++k) {
        const HeldEvent& event = run_[k];
        const double time = times_[k];
        if (event.kind == EventKind::enter) {
            starts_.push_back(time);
            if (enters_) sink_.placed(event, time, time);
        } else if (event.kind == EventKind::exit) {
            const double start = starts_.empty() ? time : starts_.back();
            if (!starts_.empty()) starts_.pop_back();
            sink_.placed(event, time, start);
        } else {
            sink_.placed(event, time, time);
        }
    }
    held_ = 0;
}

void DisplayTimes::run_times() {
    const std::int64_t millisecond = *millisecond_;
    const auto ms = static_cast<double>(millisecond);
    const std::size_t count = held_;
    double last = any_placed_ ? last_ : -std::numeric_limits<double>::infinity();
    times_.clear();
    bool none_precise = true;
    for (std::size_t k = 0; k < count; ++k) none_precise = none_precise && !precise_[k];
    if (none_precise && last < ms) {
        for (std::size_t k = 0; k < count; ++k) {
            times_.push_back(exact_ ? ms : ms + static_cast<double>(k) / static_cast<double>(count));
        }
        return;
    }
    std::size_t index = 0;
    while (index < count) {
        if (precise_[index]) {
            const double time = static_cast<double>(*precise_[index]) / kNsPerMs;
            last = exact_ ? std::max(time, last) : std::max(time, last + kApart);
            times_.push_back(last);
            ++index;
            continue;
        }
        std::size_t stretch = index;
        while (stretch < count && !precise_[stretch]) ++stretch;
        const std::size_t n = stretch - index;
        if (exact_) {
            last = std::max(ms, last);
            times_.insert(times_.end(), n, last);
        } else {
            double high = stretch < count ? static_cast<double>(*precise_[stretch]) / kNsPerMs : ms + 1.0;
            double low = last;
            std::size_t first = 1;
            if (last < ms) {  // the first of the millisecond: at its start, as without precise times
                low = ms;
                first = 0;
            }
            high = std::max(high, low + kApart * static_cast<double>(n + 1));
            for (std::size_t k = 0; k < n; ++k) {
                times_.push_back(low + (high - low) * static_cast<double>(k + first) / static_cast<double>(n + first));
            }
            last = times_.back();
        }
        index = stretch;
    }
}

void place_file(TraceParser& parser, PlacedSink& sink, bool exact, bool enters) {
    DisplayTimes times(sink, exact, enters);
    Event event;
    while (!parser.finished()) {
        if (parser.step(event)) times.add(event);
    }
    times.finish();
}

}  // namespace vorn::reader
