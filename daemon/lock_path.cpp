#include "lock_path.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// As many links as the kernel follows in one lookup.
constexpr int max_links = 40;

// The directories still to pass, as a path; a link's target is put in front
// of what remains after the link.
using pending_path = std::array<char, PATH_MAX>;

// Hand-made, as the loops below are: strspn and the like would each keep
// another page of libc in the daemon's memory.
size_t count_until(const char *text, char end)
{
    size_t count = 0;
    while (text[count] != '\0' && text[count] != end)
        ++count;
    return count;
}

int open_start(bool absolute)
{
    return open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int fail_with(int error)
{
    errno = error;
    return -1;
}

void close_keeping_errno(int fd)
{
    const int error = errno;
    close(fd);
    errno = error;
}

// The target of `link` in front of `*pending` from `rest` on; -1 with errno
// set when the link cannot be read or the path grows too long.
int follow(int link, pending_path *pending, size_t rest)
{
    pending_path joined;
    // Our own "": glibc's lies in a part of libc that nothing else the daemon
    // touches, and would stay resident for the daemon's whole life.
    const ssize_t length = readlinkat(link, "", joined.data(), joined.size());
    if (length < 0)
        return -1;
    const size_t rest_length = count_until(pending->data() + rest, '\0');
    if (static_cast<size_t>(length) + 1 + rest_length >= joined.size())
        return fail_with(ENAMETOOLONG);
    joined[length] = '/';
    memcpy(&joined[length + 1], pending->data() + rest, rest_length + 1);
    *pending = joined;
    return 0;
}

// Through `link` (of status `st`) found in `*directory`: the walk goes on
// from the link's target. 0, -1 with errno set, or planted_link.
int pass_link(int link, const struct stat &st, int *directory, pending_path *pending, size_t rest, int *links)
{
    if (st.st_uid != 0 && st.st_uid != getuid())
        return planted_link;
    if (++*links > max_links)
        return fail_with(ELOOP);
    if (follow(link, pending, rest) != 0)
        return -1;
    if ((*pending)[0] == '/') {
        const int root = open_start(true);
        if (root < 0)
            return -1;
        close(*directory);
        *directory = root;
    }
    return 0;
}

// One component down from `*directory`, the one at `*at`: into a directory,
// or through a link, which restarts the walk at the front of `*pending`.
// `*directory` stays open whatever happens. 0, -1 with errno set, or
// planted_link.
int step(int *directory, pending_path *pending, size_t *at, int *links)
{
    std::array<char, NAME_MAX + 1> component{};
    const size_t length = count_until(pending->data() + *at, '/');
    if (length >= component.size())
        return fail_with(ENAMETOOLONG);
    memcpy(component.data(), pending->data() + *at, length);
    *at += length;
    const int next = openat(*directory, component.data(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0)
        return -1;
    struct stat st {};
    if (fstatat(next, "", &st, AT_EMPTY_PATH) != 0) {
        close_keeping_errno(next);
        return -1;
    }
    if (!S_ISLNK(st.st_mode)) {
        close(*directory);
        *directory = next; // a file that is no directory fails the next step, or the caller's open
        return 0;
    }
    const int passed = pass_link(next, st, directory, pending, *at, links);
    close_keeping_errno(next);
    if (passed == 0)
        *at = 0;
    return passed;
}

} // namespace

int open_lock_directory(const char *path, const char **name)
{
    const char *slash = strrchr(path, '/');
    *name = slash == nullptr ? path : slash + 1;
    if (**name == '\0')
        *name = ".";
    pending_path pending;
    const size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
    if (length >= pending.size())
        return fail_with(ENAMETOOLONG);
    memcpy(pending.data(), path, length);
    pending[length] = '\0';
    int directory = open_start(path[0] == '/');
    if (directory < 0)
        return -1;
    size_t at = 0;
    int links = 0;
    for (;;) {
        while (pending[at] == '/')
            ++at;
        if (pending[at] == '\0')
            return directory;
        const int stepped = step(&directory, &pending, &at, &links);
        if (stepped != 0) {
            close_keeping_errno(directory);
            return stepped;
        }
    }
}
