// COM numbers on Linux. COM port n is the device named by the environment variable
// ZARNIK_COM<n> when it is set and not empty, else /dev/ttyS<n-1>. This is the one
// place where a COM number becomes a path; a port component can bypass it with its
// DevicePath property.
#pragma once

#include <cstdint>
#include <string>

namespace zarnik {

// The device path of COM port n (n >= 1); empty for 0.
std::string ComDevicePath(unsigned n);
// "COM" followed by the decimal number.
std::string ComName(unsigned n);

}  // namespace zarnik
