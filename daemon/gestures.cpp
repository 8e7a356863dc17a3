#include "gestures.h"

#include <ctime>

namespace {

// How long a binding's chord is held before it fires: a run binding's is
// the settle time.
int time_of(const settings *given, const binding *bound)
{
    return bound->hold_usec == 0 ? given->wait_usec : bound->hold_usec;
}

// The bindings of one chord as this source reads it.
struct chord_bindings {
    const binding *run = nullptr;
    const binding *last = nullptr; // of the longest time
    bool holds = false;            // some binding has a hold time
};

chord_bindings bindings_of(const gesture_rules *rules, chord held)
{
    chord_bindings found;
    const settings *given = rules->given;
    for (int i = 0; i < given->binding_count; ++i) {
        const binding *bound = &given->bindings[i];
        if (mapped_chord(rules->same_as, bound->buttons) != held)
            continue;
        if (bound->hold_usec == 0 && found.run == nullptr)
            found.run = bound;
        found.holds = found.holds || bound->hold_usec != 0;
        if (found.last == nullptr || time_of(given, bound) > time_of(given, found.last))
            found.last = bound;
    }
    return found;
}

// The longest of the chord's bindings whose time has passed after `held_for`.
firing reached(const gesture_rules *rules, chord held, instant held_for)
{
    firing best;
    int best_usec = -1;
    const settings *given = rules->given;
    for (int i = 0; i < given->binding_count; ++i) {
        const binding *bound = &given->bindings[i];
        const int usec = time_of(given, bound);
        if (mapped_chord(rules->same_as, bound->buttons) == held && usec <= held_for && usec > best_usec) {
            best = {bound, fired_by::release};
            best_usec = usec;
        }
    }
    return best;
}

// A chord with hold times is followed from when it came to be held, with no
// settle time: the longest of its times ends the hold.
bool start_holding(gesture *moves, const gesture_rules *rules)
{
    const chord_bindings found = bindings_of(rules, moves->held);
    if (!found.holds)
        return false;
    moves->phase = gesture_phase::holding;
    moves->followed = moves->held;
    moves->due = moves->since + time_of(rules->given, found.last);
    return true;
}

// A press: followed as a hold, or settled first and then decided.
void start_press(gesture *moves, const gesture_rules *rules, instant now)
{
    if (start_holding(moves, rules))
        return;
    moves->phase = gesture_phase::settling;
    moves->due = now + rules->given->wait_usec;
}

// The read that decides, once the settle time is over.
firing decide(gesture *moves, const gesture_rules *rules)
{
    moves->phase = gesture_phase::idle;
    if (start_holding(moves, rules))
        return {};
    return {bindings_of(rules, moves->held).run, fired_by::settle};
}

// The held chord changed while a chord with hold times was followed.
firing left_chord(gesture *moves, const gesture_rules *rules, instant now, instant held_for)
{
    const chord followed = moves->followed;
    moves->phase = gesture_phase::idle;
    const bool fewer = (moves->held & ~followed) == 0;
    if (fewer) {
        const firing fired = reached(rules, followed, held_for);
        if (fired.bound != nullptr)
            return fired;
    }
    if (moves->held != 0)
        start_press(moves, rules, now);
    return {};
}

// The longest time was reached: its binding fires, a hold's or the run's.
firing held_out(gesture *moves, const gesture_rules *rules)
{
    moves->phase = gesture_phase::idle;
    // Followed only when it has bindings; none left would fire nothing.
    const binding *last = bindings_of(rules, moves->followed).last;
    if (last == nullptr)
        return {};
    return {last, last->hold_usec == 0 ? fired_by::settle : fired_by::hold};
}

bool released(const gesture *moves)
{
    if (moves->every_button)
        return moves->all == 0;
    return (moves->held & moves->followed) != moves->followed;
}

} // namespace

instant now_usec()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<instant>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

chord mapped_chord(const button_map *same_as, chord buttons)
{
    chord mapped = 0;
    for (int bit = 0; bit < max_buttons; ++bit)
        if ((buttons & (chord{1} << bit)) != 0)
            mapped |= chord{1} << (*same_as)[bit];
    return mapped;
}

firing gesture_step(gesture *moves, const gesture_rules *rules, chord all, instant now)
{
    const chord held = all & rules->active;
    const bool changed = held != moves->held;
    const instant held_for = now - moves->since;
    moves->all = all;
    if (changed) {
        moves->held = held;
        moves->since = now;
    }
    switch (moves->phase) {
    case gesture_phase::releasing:
        if (!released(moves))
            return {};
        moves->phase = gesture_phase::idle;
        // Letting go belongs to the chord that fired; a button pressed in the
        // same read is a press of its own.
        if (changed && (held & ~moves->followed) != 0)
            start_press(moves, rules, now);
        return {};
    case gesture_phase::idle:
        if (held != 0 && (changed || rules->polled))
            start_press(moves, rules, now);
        return {};
    case gesture_phase::settling:
        if (changed && start_holding(moves, rules))
            return now >= moves->due ? held_out(moves, rules) : firing{};
        return now >= moves->due ? decide(moves, rules) : firing{};
    case gesture_phase::holding:
        if (changed)
            return left_chord(moves, rules, now, held_for);
        return now >= moves->due ? held_out(moves, rules) : firing{};
    }
    return {};
}

void gesture_fired(gesture *moves, const gesture_rules *rules, const firing *fired)
{
    moves->phase = gesture_phase::releasing;
    moves->followed = mapped_chord(rules->same_as, fired->bound->buttons);
    moves->every_button = fired->bound->digits;
}

instant gesture_due(const gesture *moves)
{
    if (moves->phase == gesture_phase::settling || moves->phase == gesture_phase::holding)
        return moves->due;
    return -1;
}
