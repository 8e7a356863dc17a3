// Where the daemon reads its buttons, each source on its own: the game port
// at I/O port 0x201, or up to eight sources at once: -j paths, each a port
// image file or an input event device (a joystick, a gamepad, a pedal), and
// pads under /dev/input whose names match a -n pattern, taken as they come.
// Every read gives the chord of buttons held there, ignored ones included.
#pragma once

#include "command_line.h"
#include "devices.h"
#include "gestures.h"
#include "report.h"

#include <array>
#include <climits>
#include <span>

enum class source_kind : unsigned char {
    game_port,
    closed, // missing, gone or not usable yet: reads as all buttons up
    image,
    device,
};

// What learning mode follows on a source: the largest chord of a press.
struct learned {
    chord largest = 0;
    instant since = 0; // when it was first held
    instant until = 0; // when it was no longer held whole; 0 while it is
};

struct source {
    const char *path = nullptr; // -j PATH as given, or a pad's node; null for the game port
    source_kind kind = source_kind::closed;
    int fd = -1;
    bool by_name = false;          // a place for a pad found by its name
    std::array<char, 32> node{};   // such a pad's node, "/dev/input/eventN"; "" while the place is free
    device_buttons *buttons = nullptr; // a device's, by chord bit: its place in source_set::buttons
    int button_count = 0;          // the chord bits a device reads
    // By chord bit, the lowest bit that reads the same button here: a name
    // that -b lists is its digit's button, and so on a device is a name for
    // the key that is one of its first four.
    button_map same_as{};
    chord active = 0; // the bits of its chords as it reads them, ignored digits left out
    chord raw = 0; // a device's bits held at the last read, each on its own
    int rumble = -1; // a pad's rumble effect, -1 for none
    gesture moves;
    instant next_read = 0;  // the game port, a port image: when to read it again
    int interval_usec = 0;  // the game port: the sleep before that read, exactly
    learned press;
};

// A pad that no place holds: why, and errno for one that could not be opened.
struct not_taken {
    std::array<char, 16> node{};
    int error = 0; // 0: its name matches no pattern
};

// As in settings, the fields written at start-up first, the large arrays
// last: a port image's sources never write the devices' buttons.
struct source_set {
    int count = 0;
    const settings *given = nullptr;
    chord watched = 0; // the bits some binding uses; all four digits when one does
    std::span<const char *const> patterns; // pads to take by their names; none without -n
    bool place_freed = false; // a pad went: one left alone may take its place
    bool learning = false;
    unsigned changes = 0; // counts sources opened and closed, for the waiting
    const reporting *report = nullptr; // told when a device is lost and found again
    std::array<source, max_sources> list;
    // The pads told as not taken at the last look, so that each is told once
    // as it comes, and again only should its reason change.
    std::array<not_taken, 4UL * max_sources> untaken;
    int untaken_count = 0;
    // The directory the daemon was started in: relative paths name files
    // there, also once -d has changed to "/".
    std::array<char, PATH_MAX> start_dir;
    std::array<device_buttons, max_sources> buttons; // each source's, apart from the rest
};

// The sources that the settings name: the game port without -j.
void sources_from_settings(const settings *given, source_set *sources);

// Before privileges are given up: the game port needs ioperm as root.
bool sources_access(const source_set *sources);

// refused: the path cannot be opened, errno says why; unfit: it is neither a
// port image nor an input event device with a watched button.
enum class open_result : unsigned char { opened, missing, refused, unfit };

// After privileges are given up, so that each path is opened with the
// invoking user's rights only.
open_result source_open(source_set *sources, source *port);

// Closes what is open at the source's path and takes whatever is there now.
void source_reopen(source_set *sources, source *port);

// Takes the pads under /dev/input whose names match, into the free places,
// and those not readable before that are now; the rest are left alone. A
// pad that cannot be opened holds no place: it is tried again at the next
// look, which a change of its permissions brings. With -v and in learning
// mode each pad not taken is told once, with why.
void take_pads(source_set *sources);

// Whether the source is a place for a pad that holds none.
bool is_free(const source *port);

// A chord bit's name on a source, into `name`, as a list takes it.
std::string_view bit_name(const source *port, int bit, std::array<char, 32> *name);

// In learning mode, the standard name of a chord bit on a device; "" for none.
std::string_view bit_standard_name(const source *port, int bit);

// The full path of a -j source, resolved against the start directory; false
// when it does not fit.
bool source_full_path(const source_set *sources, const source *port, std::array<char, PATH_MAX> *path);

// One fresh read: the buttons held there now, as bits of the source's own
// `same_as`. A device that is gone reads as all up and is closed.
chord source_read(source_set *sources, source *port);

// A chord of the bindings as it reads on this source.
chord source_chord(const source *port, chord buttons);

// Reads a device's pending events without blocking, so that it is quiet until
// the next change; closes it when it is gone.
void source_drain(source_set *sources, source *port);
