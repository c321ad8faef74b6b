// Only the kernel's headers here: <asm/termbits.h> clashes with <termios.h>.
#include "kernel_speed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace draxo::test {

bool kernelSpeed(int fd, KernelSpeed& out) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    out.output = t.c_ospeed;
    out.input = t.c_ispeed;
    out.customOutput = (t.c_cflag & CBAUD) == BOTHER;
    return true;
}

} // namespace draxo::test
