// The line speed as the kernel holds it, read through its termios2.
#pragma once

namespace draxo::test {

struct KernelSpeed {
    unsigned output;   // output rate in baud
    unsigned input;    // input rate in baud
    bool customOutput; // the output rate is a plain number (BOTHER), not a Bnnn code
};

// false when the descriptor has no termios.
bool kernelSpeed(int fd, KernelSpeed& out);

} // namespace draxo::test
