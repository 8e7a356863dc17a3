// What the buttons held on one source make happen: a small state machine
// per source, advanced by each read of that source and by its deadline.
//
// A press is noticed, the settle time passes, and the read that then decides
// fires the run binding of the chord held. A chord of names that no other
// binding's chord contains, with no other binding of its own, cannot become
// anything else: it fires as soon as it is held. A chord of names let go to
// fewer of its buttons before the settle time is up was tapped: its run
// binding fires then. A chord that also has hold bindings is followed while
// it stays exactly as it is: the longest hold time fires once it is reached,
// a shorter one (the run binding's being the settle time) when the chord is
// let go to fewer of its buttons after it and before the next. Any other
// change starts afresh. After a command of a chord of digits the release wait
// follows, until every button is up; the buttons of a chord of names that
// fired and are still held are spent, and a chord of spent buttons alone
// fires nothing until they have been let go.
//
// A repeat binding fires as a run binding does, then again at every period
// while its chord stays held exactly; a period that passes while its command
// runs is skipped. A tap of a chord with a double press opens a window of
// the settle time: the chord pressed again in it fires the double press, and
// the run binding fires for the single tap once the window has passed.
#pragma once

#include "command_line.h"

#include <array>
#include <cstdint>

// Microseconds on the monotonic clock.
using instant = std::int64_t;

instant now_usec();

// By chord bit, the bit that reads the same button on one source.
using button_map = std::array<unsigned char, max_buttons>;

chord mapped_chord(const button_map *same_as, chord buttons);

enum class gesture_phase : unsigned char { idle, settling, holding, releasing, tapped, repeating };

struct gesture {
    chord held = 0;           // watched buttons held at the last read, ignored ones not
    chord all = 0;            // every button held at the last read
    instant since = 0;        // when `held` became what it is
    gesture_phase phase = gesture_phase::idle;
    instant due = 0;          // settling: the read that decides; holding: the longest hold time;
                              // tapped: the end of the window; repeating: the next repeat
    chord followed = 0;       // holding, tapped, repeating: the chord, as this source reads it
    chord spent = 0;          // buttons of a chord of names that fired, still held since
    bool look_again = false;  // after a firing: what is held is a press, changed or not
    bool every_button = false; // repeating: a chord of digits, whose release wait follows
    instant fired_at = 0;     // when the last binding to fire did
};

// How a binding came to fire, for -v.
enum class fired_by : unsigned char { settle, hold, release, tap, at_once, again, second_press };

struct firing {
    const binding *bound = nullptr; // null: nothing fires
    fired_by by = fired_by::settle;
};

// What the source's bits mean: the bindings, and which bits take part.
struct gesture_rules {
    const settings *given = nullptr;
    const button_map *same_as = nullptr;
    chord active = 0; // as this source reads them: ignored digits left out
    bool polled = false; // read at every poll: a press held is noticed again at each one
};

// Advances the gesture by a read made at `now` that found `all` held.
firing gesture_step(gesture *moves, const gesture_rules *rules, chord all, instant now);

// After the fired command, which ended at `now`: the release wait begins, or
// the chord's buttons still held are spent; a repeat goes on.
void gesture_fired(gesture *moves, const gesture_rules *rules, const firing *fired, instant now);

// When the gesture must be looked at again whatever happens: -1 for never.
instant gesture_due(const gesture *moves);
