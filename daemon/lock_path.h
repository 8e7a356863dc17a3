// The lock file's directory, reached alike by the daemon and its controller.
// The directories on the way may be writable by other users, so a symbolic
// link is followed only where root or the user running the program owns it,
// the rule the kernel's protected_symlinks applies in sticky directories:
// nobody else can lead the lock to a file of their choosing.
#pragma once

// open_lock_directory's answer for a link that another user owns.
constexpr int planted_link = -2;

// The directory holding the file that `path` names, as an O_PATH descriptor
// for the *at calls, with `*name` set to the file's name in it (the part of
// `path` after its last '/', or "." when there is none after it). The name
// itself is not followed. -1 with errno set when a directory cannot be
// reached; planted_link when a link of another user's is on the way.
int open_lock_directory(const char *path, const char **name);
