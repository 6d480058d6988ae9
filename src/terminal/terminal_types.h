// Types the terminal's screen buffer, emulators and pane share: colours, cell
// attributes, where a byte came from, the emulator commands of a plain teletype and
// the pane's own message numbers.
#pragma once

#include <cstdint>

namespace zarnik {

// 0x00BBGGRR, red in the low byte.
using TColor = uint32_t;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clBlue = 0xFF0000;

// A set of TTerminalCharAttr, one bit per member in declaration order.
enum TTerminalCharAttr : uint8_t {
  tcaBold = 0x01,
  tcaUnderline = 0x02,
  tcaStrikethrough = 0x04,
  tcaBlink = 0x08,
  tcaReverse = 0x10,
  tcaInvisible = 0x20,
  tcaSelected = 0x40,
};
using TTerminalCharAttrs = uint8_t;

enum TCharSource { csUnknown, csKeyboard, csPort, csWriteChar };
enum TCaptureMode { cmOff, cmOn, cmAppend };
enum TCursorType { ctNone, ctUnderline, ctBlock };

// The commands a plain teletype issues; richer emulators would add more.
enum TEmuCommand : uint8_t { ecNone, ecBell, ecBackspace, ecTabHorz, ecLF, ecCR };

// Window messages of the terminal pane (after the serial layer's 0x7E0x).
inline constexpr uint32_t kMsgTermStuff = 0x7E47;  // wParam: TCharSource; queued bytes to process
inline constexpr uint32_t kMsgTermNeedsUpdate = 0x7E8A;  // cells changed or the cursor moved
inline constexpr uint32_t kMsgWaitForPort = 0x7E89;
inline constexpr uint32_t kMsgTermForceSize = 0x7E4D;

}  // namespace zarnik
