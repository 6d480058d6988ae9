// LinkMode: which link every exchange with the unit takes. The board scan sets it
// first; the PCI and COM menus switch it; the command channel reads it.
#pragma once

namespace zarnik {

inline constexpr int kLinkUndetermined = -1;
inline constexpr int kLinkPci = 0;
inline constexpr int kLinkRs232 = 1;

}  // namespace zarnik
