#include "buttons.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>

namespace {
constexpr unsigned short game_port = 0x201;

bool game_port_access() { return ioperm(game_port, 1, 1) == 0; }
unsigned char game_port_read() { return inb(game_port); }
} // namespace
#else
namespace {
// No port I/O on this architecture: the game port can never be opened.
bool game_port_access() { return false; }
unsigned char game_port_read() { return 0xFF; }
} // namespace
#endif

namespace {
constexpr unsigned char all_up = 0xFF;
}

bool port_access(const button_port *port)
{
    return port->path != nullptr || game_port_access();
}

bool port_open(button_port *port)
{
    if (port->path == nullptr)
        return true;
    // O_NONBLOCK: a FIFO planted at PATH must not hang start-up before it is refused.
    port->fd = open(port->path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st {};
    // glibc's fstat is fstatat on an empty path, and its "" lies in a stretch
    // of libc's read-only data that nothing else the daemon touches: passing
    // our own "" keeps the idle daemon some 60 kB smaller.
    return port->fd >= 0 && fstatat(port->fd, "", &st, AT_EMPTY_PATH) == 0 &&
           S_ISREG(st.st_mode);
}

unsigned char port_read(const button_port *port)
{
    if (port->fd < 0)
        return game_port_read();
    unsigned char status = all_up;
    // An empty file or a failed read leaves every button up: after start-up
    // there is no failure path.
    if (pread(port->fd, &status, 1, 0) != 1)
        return all_up;
    return status;
}
