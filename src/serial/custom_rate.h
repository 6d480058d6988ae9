// Line rates without a B-constant: the kernel's custom-rate request (termios2 with
// BOTHER), kept apart from <termios.h>, whose struct the kernel's header would clash with.
#pragma once

#include <cstdint>

namespace zarnik {

// Asks the driver behind fd for `baud` bits per second and reads back the rate it
// set (`actual`). False, with errno, when the driver refuses the request.
bool SetCustomRate(int fd, uint32_t baud, uint32_t& actual);

}  // namespace zarnik
