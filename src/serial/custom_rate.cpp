#include "serial/custom_rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace zarnik {

bool SetCustomRate(int fd, uint32_t baud, uint32_t& actual) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag = (t.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = t.c_ospeed = baud;
  if (ioctl(fd, TCSETS2, &t) != 0 || ioctl(fd, TCGETS2, &t) != 0) return false;
  actual = t.c_ospeed;
  return true;
}

}  // namespace zarnik
