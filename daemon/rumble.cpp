#include "rumble.h"

#include <array>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int bits_per_word = 8 * sizeof(unsigned long);

bool can_rumble(int fd)
{
    std::array<unsigned long, (FF_MAX + bits_per_word) / bits_per_word> effects{};
    if (ioctl(fd, EVIOCGBIT(EV_FF, sizeof effects), effects.data()) < 0)
        return false;
    return (effects[FF_RUMBLE / bits_per_word] >> (FF_RUMBLE % bits_per_word) & 1) != 0;
}

} // namespace

int rumble_upload(int fd, int usec)
{
    if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR || !can_rumble(fd))
        return -1;
    ff_effect effect {};
    effect.type = FF_RUMBLE;
    effect.id = -1;
    effect.replay.length = static_cast<unsigned short>(usec / 1000);
    // Both motors at three quarters: felt on every pad, loud on none.
    effect.u.rumble.strong_magnitude = 0xC000;
    effect.u.rumble.weak_magnitude = 0xC000;
    if (ioctl(fd, EVIOCSFF, &effect) < 0)
        return -1;
    return effect.id;
}

void rumble_play(int fd, int effect)
{
    input_event play {};
    play.type = EV_FF;
    play.code = static_cast<unsigned short>(effect);
    play.value = 1;
    ssize_t written = write(fd, &play, sizeof play);
    static_cast<void>(written); // a pad gone meanwhile is found at its next read
}
