#include "serial/com_names.h"

#include <cstdlib>

namespace zarnik {

std::string ComDevicePath(unsigned n) {
  if (n == 0) return {};
  std::string var = "ZARNIK_COM" + std::to_string(n);
  if (const char* value = std::getenv(var.c_str()); value && *value) return value;
  return "/dev/ttyS" + std::to_string(n - 1);
}

std::string ComName(unsigned n) { return "COM" + std::to_string(n); }

}  // namespace zarnik
