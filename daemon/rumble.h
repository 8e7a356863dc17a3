// The confirmation a pad can give: a rumble when a binding fires. One
// FF_RUMBLE effect is uploaded to the pad when it is taken and played by one
// write; the kernel ends it after its length, so nothing waits for it.
#pragma once

// The effect's id on the pad open at `fd`, or -1 where there is none: no
// force feedback, no rumble among it, the pad opened read-only (a play is a
// write), or the effect refused.
int rumble_upload(int fd, int usec);

// Starts the effect; a pad that no longer takes it changes nothing.
void rumble_play(int fd, int effect);
