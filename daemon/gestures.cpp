#include "gestures.h"

#include <ctime>

namespace {

// How long a binding's chord is held before it fires: a run binding's, and
// a repeat's, is the settle time.
int time_of(const settings *given, const binding *bound)
{
    return bound->kind == binding_kind::hold ? bound->usec : given->wait_usec;
}

// The bindings of one chord as this source reads it.
struct chord_bindings {
    const binding *run = nullptr;          // a run binding or a repeat
    const binding *last = nullptr;         // of the longest time, the double press apart
    const binding *second_press = nullptr; // the double press
    bool holds = false;                    // some binding has a hold time
};

chord_bindings bindings_of(const gesture_rules *rules, chord held)
{
    chord_bindings found;
    const settings *given = rules->given;
    for (int i = 0; i < given->binding_count; ++i) {
        const binding *bound = &given->bindings[i];
        if (mapped_chord(rules->same_as, bound->buttons) != held)
            continue;
        if (bound->kind == binding_kind::double_press) {
            found.second_press = bound;
            continue;
        }
        if (bound->kind != binding_kind::hold && found.run == nullptr)
            found.run = bound;
        found.holds = found.holds || bound->kind == binding_kind::hold;
        if (found.last == nullptr || time_of(given, bound) > time_of(given, found.last))
            found.last = bound;
    }
    return found;
}

// Whether holding more buttons could make some binding fire: one that can
// fire on this source has every button of `held` in its chord, and more.
bool could_grow(const gesture_rules *rules, chord held)
{
    const settings *given = rules->given;
    for (int i = 0; i < given->binding_count; ++i) {
        const chord buttons = mapped_chord(rules->same_as, given->bindings[i].buttons);
        if ((buttons & ~rules->active) == 0 && (buttons & held) == held && buttons != held)
            return true;
    }
    return false;
}

// A chord of names whose run binding is all it has, that no other chord
// contains: waiting could change nothing.
bool fires_at_once(const gesture_rules *rules, chord held, const chord_bindings *found)
{
    return found->run != nullptr && found->run->kind == binding_kind::run && !found->run->digits && !found->holds
           && found->second_press == nullptr && !could_grow(rules, held);
}

// Whether the chord has a button that is not spent.
bool fresh(chord buttons, chord spent)
{
    return (buttons & ~spent) != 0;
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
        if (bound->kind != binding_kind::double_press && mapped_chord(rules->same_as, bound->buttons) == held && usec <= held_for && usec > best_usec) {
            best = {bound, fired_by::release};
            best_usec = usec;
        }
    }
    return best;
}

// A chord of names let go before its settle time was up was tapped; one of
// digits never is. A chord with a double press waits for the second press
// for a settle time from now.
firing tapped(gesture *moves, const gesture_rules *rules, chord let_go, chord spent, instant now)
{
    if (!fresh(let_go, spent))
        return {};
    const chord_bindings found = bindings_of(rules, let_go);
    if (found.second_press != nullptr) {
        moves->phase = gesture_phase::tapped;
        moves->followed = let_go;
        moves->due = now + rules->given->wait_usec;
        return {};
    }
    if (found.run == nullptr || found.run->digits)
        return {};
    return {found.run, fired_by::tap};
}

// A chord with hold times is followed from when it came to be held, with no
// settle time: the longest of its times ends the hold.
void follow_hold(gesture *moves, const gesture_rules *rules, const chord_bindings *found)
{
    moves->phase = gesture_phase::holding;
    moves->followed = moves->held;
    moves->due = moves->since + time_of(rules->given, found->last);
}

// The chord held now, as a press: fired at once, followed as a hold, or
// settled first and then decided. A press that was settling already keeps
// its deadline.
firing take_press(gesture *moves, const gesture_rules *rules, instant now)
{
    const bool settling = moves->phase == gesture_phase::settling;
    moves->phase = gesture_phase::idle;
    if (!fresh(moves->held, moves->spent))
        return {};
    const chord_bindings found = bindings_of(rules, moves->held);
    if (fires_at_once(rules, moves->held, &found))
        return {found.run, fired_by::at_once};
    if (found.holds) {
        follow_hold(moves, rules, &found);
        return {};
    }
    moves->phase = gesture_phase::settling;
    if (!settling)
        moves->due = now + rules->given->wait_usec;
    return {};
}

// The read that decides, once the settle time is over.
firing decide(gesture *moves, const gesture_rules *rules)
{
    moves->phase = gesture_phase::idle;
    if (!fresh(moves->held, moves->spent))
        return {};
    const chord_bindings found = bindings_of(rules, moves->held);
    if (!found.holds)
        return {found.run, fired_by::settle};
    follow_hold(moves, rules, &found);
    return {};
}

// The held chord changed while it settled: a tap of the chord let go, or
// the chord held now taken as a press. Letting go of every button decides
// nothing before the settle time is up, as ever.
firing settle_change(gesture *moves, const gesture_rules *rules, chord before, chord spent, instant now)
{
    if ((moves->held & ~before) == 0) {
        moves->phase = gesture_phase::idle;
        const firing tap = tapped(moves, rules, before, spent, now);
        if (tap.bound != nullptr || moves->phase == gesture_phase::tapped)
            return tap;
        moves->phase = gesture_phase::settling;
        if (moves->held == 0)
            return {};
    }
    return take_press(moves, rules, now);
}

// The held chord changed while a chord with hold times was followed.
firing left_chord(gesture *moves, const gesture_rules *rules, instant now, instant held_for)
{
    const chord followed = moves->followed;
    moves->phase = gesture_phase::idle;
    if ((moves->held & ~followed) == 0) {
        firing fired = reached(rules, followed, held_for);
        if (fired.bound == nullptr)
            fired = tapped(moves, rules, followed, 0, now);
        if (fired.bound != nullptr || moves->phase == gesture_phase::tapped)
            return fired;
    }
    if (moves->held != 0)
        return take_press(moves, rules, now);
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
    return {last, last->kind == binding_kind::hold ? fired_by::hold : fired_by::settle};
}

// In the window after a tap: the chord pressed again fires its double press;
// the window passed, or another button pressed, the tap its run binding.
firing second_press(gesture *moves, const gesture_rules *rules, bool changed, instant now)
{
    const chord followed = moves->followed;
    if (changed && moves->held == followed) {
        moves->phase = gesture_phase::idle;
        return {bindings_of(rules, followed).second_press, fired_by::second_press};
    }
    const bool other = changed && (moves->held & ~followed) != 0;
    if (now < moves->due && !other)
        return {};
    moves->phase = gesture_phase::idle;
    const binding *run = bindings_of(rules, followed).run;
    if (run != nullptr)
        return {run, fired_by::tap};
    return other ? take_press(moves, rules, now) : firing{};
}

// While a repeat's chord stays held exactly, it fires again at each period.
firing repeat(gesture *moves, const gesture_rules *rules, bool changed, instant now)
{
    if (!changed)
        return now >= moves->due ? firing{bindings_of(rules, moves->followed).run, fired_by::again} : firing{};
    if (moves->every_button) {
        moves->phase = moves->all == 0 ? gesture_phase::idle : gesture_phase::releasing;
        return {};
    }
    moves->phase = gesture_phase::idle;
    return moves->held != 0 ? take_press(moves, rules, now) : firing{};
}

firing step(gesture *moves, const gesture_rules *rules, chord all, instant now)
{
    const chord held = all & rules->active;
    const chord before = moves->held;
    const chord spent = moves->spent;
    const bool changed = held != before;
    const bool look_again = moves->look_again;
    const instant held_for = now - moves->since;
    moves->all = all;
    moves->spent &= held;
    moves->look_again = false;
    if (changed) {
        moves->held = held;
        moves->since = now;
    }
    switch (moves->phase) {
    case gesture_phase::releasing:
        if (all == 0)
            moves->phase = gesture_phase::idle;
        return {};
    case gesture_phase::idle:
        if (held != 0 && (changed || look_again || rules->polled))
            return take_press(moves, rules, now);
        return {};
    case gesture_phase::settling:
        if (now >= moves->due)
            return decide(moves, rules);
        return changed ? settle_change(moves, rules, before, spent, now) : firing{};
    case gesture_phase::holding:
        if (changed)
            return left_chord(moves, rules, now, held_for);
        return now >= moves->due ? held_out(moves, rules) : firing{};
    case gesture_phase::tapped:
        return second_press(moves, rules, changed, now);
    case gesture_phase::repeating:
        return repeat(moves, rules, changed, now);
    }
    return {};
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
    const firing fired = step(moves, rules, all, now);
    if (fired.bound != nullptr)
        moves->fired_at = now;
    return fired;
}

void gesture_fired(gesture *moves, const gesture_rules *rules, const firing *fired, instant now)
{
    const binding *bound = fired->bound;
    const chord buttons = mapped_chord(rules->same_as, bound->buttons);
    if (bound->kind == binding_kind::repeat && moves->held == buttons) {
        moves->phase = gesture_phase::repeating;
        moves->followed = buttons;
        moves->every_button = bound->digits;
        // Counted from the first firing, so that repeats keep their period;
        // one due while the command ran is skipped, not made up.
        moves->due = (fired->by == fired_by::again ? moves->due : moves->fired_at) + bound->usec;
        while (moves->due <= now)
            moves->due += bound->usec;
    } else {
        moves->phase = bound->digits ? gesture_phase::releasing : gesture_phase::idle;
    }
    if (!bound->digits) {
        moves->spent |= buttons & moves->held;
        moves->look_again = true;
    }
}

instant gesture_due(const gesture *moves)
{
    switch (moves->phase) {
    case gesture_phase::settling:
    case gesture_phase::holding:
    case gesture_phase::tapped:
    case gesture_phase::repeating:
        return moves->due;
    default:
        return -1;
    }
}
