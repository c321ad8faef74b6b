// Pieces of the termios comm layer that need no device, for its own tests.
#pragma once

#include <string>
#include <string_view>

#include <termios.h>

#include "comm/comm.h"

namespace draxo::comm::posix {

// The device path a Windows-style port name stands for: an absolute path,
// or one beginning with "./" or "../", is taken as it is; "COMn" (n >= 1,
// also behind "\\.\") is /dev/ttyS(n-1); "NUL" is /dev/null; anything
// else, "pts/3" included, is looked for under /dev. An empty name gives an
// empty path.
std::string devicePath(std::string_view name);

// Whether SetCommState accepts these line settings.
bool lineSettingsValid(const Dcb& dcb);

// The raw-mode flags, character size, parity, stop bits and flow control
// of `dcb`, written into `t`. The speed is left alone.
void applyLineSettings(const Dcb& dcb, termios& t);

} // namespace draxo::comm::posix
