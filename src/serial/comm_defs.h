// The serial layer's own vocabulary: the line settings record the dispatcher keeps
// (laid out after the classic DCB), the status record, and the bit values of comm
// events, modem lines, line errors, escape functions and purges. The numbers are the
// ones the layer has always used, so trigger masks and notice data keep their meaning
// on every device backend.
#pragma once

#include <cstdint>

#include "serial/serial_error.h"

namespace zarnik {

// DCB codes.
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kOne5StopBits = 1;
inline constexpr uint8_t kTwoStopBits = 2;
inline constexpr uint8_t kDtrControlDisable = 0;
inline constexpr uint8_t kDtrControlEnable = 1;
inline constexpr uint8_t kDtrControlHandshake = 2;
inline constexpr uint8_t kRtsControlDisable = 0;
inline constexpr uint8_t kRtsControlEnable = 1;
inline constexpr uint8_t kRtsControlHandshake = 2;

// Line settings of a device. Parity 0..4: none, odd, even, mark, space.
struct TDcb {
  uint32_t baudRate = 9600;
  uint8_t byteSize = 8;
  uint8_t parity = 0;
  uint8_t stopBits = kOneStopBit;
  bool binary = true;
  bool parityCheck = false;
  bool outxCtsFlow = false;
  bool outxDsrFlow = false;
  bool dsrSensitivity = false;
  bool txContinueOnXoff = true;
  bool outX = false;  // XON/XOFF on what we send
  bool inX = false;   // XON/XOFF on what we receive
  bool nullStrip = false;
  uint8_t dtrControl = kDtrControlEnable;
  uint8_t rtsControl = kRtsControlEnable;
  uint16_t xonLim = 0;   // queued bytes at or below which the sender is let go
  uint16_t xoffLim = 0;  // free bytes below which the sender is stopped
  char xonChar = 0x11;
  char xoffChar = 0x13;
};

// Status of a device's queues.
struct TComStat {
  bool ctsHold = false;
  bool dsrHold = false;
  bool xoffHold = false;
  uint32_t cbInQue = 0;   // bytes waiting in the driver's receive queue
  uint32_t cbOutQue = 0;  // bytes not yet sent from the driver's transmit queue
};

// Comm events.
inline constexpr uint32_t evRxChar = 0x0001;
inline constexpr uint32_t evCts = 0x0008;
inline constexpr uint32_t evDsr = 0x0010;
inline constexpr uint32_t evRlsd = 0x0020;
inline constexpr uint32_t evBreak = 0x0040;
inline constexpr uint32_t evErr = 0x0080;
inline constexpr uint32_t evRing = 0x0100;
inline constexpr uint32_t evRingTe = 0x2000;
inline constexpr uint32_t kCommMask = 0x01F9;
inline constexpr uint32_t kModemEventMask = 0x2138;  // CTS, DSR, RLSD, ring, ring trailing edge
inline constexpr uint32_t kErrorEventMask = evBreak | evErr;

// Modem input lines as devices report them.
inline constexpr uint32_t msCtsOn = 0x10;
inline constexpr uint32_t msDsrOn = 0x20;
inline constexpr uint32_t msRingOn = 0x40;
inline constexpr uint32_t msRlsdOn = 0x80;

// The dispatcher's modem status byte: change bits low, levels high.
inline constexpr uint8_t kDeltaCts = 0x01;
inline constexpr uint8_t kDeltaDsr = 0x02;
inline constexpr uint8_t kRingSeen = 0x04;
inline constexpr uint8_t kDeltaDcd = 0x08;
inline constexpr uint8_t kLevelCts = 0x10;
inline constexpr uint8_t kLevelDsr = 0x20;
inline constexpr uint8_t kLevelRi = 0x40;
inline constexpr uint8_t kLevelDcd = 0x80;

// Line error bits.
inline constexpr uint32_t ceRxOver = 0x01;
inline constexpr uint32_t ceOverrun = 0x02;
inline constexpr uint32_t ceRxParity = 0x04;
inline constexpr uint32_t ceFrame = 0x08;
inline constexpr uint32_t ceBreak = 0x10;
inline constexpr uint32_t kLineErrorBits = 0x1F;

// Escape functions.
inline constexpr int efSetXoff = 1;
inline constexpr int efSetXon = 2;
inline constexpr int efSetRts = 3;
inline constexpr int efClrRts = 4;
inline constexpr int efSetDtr = 5;
inline constexpr int efClrDtr = 6;
inline constexpr int efResetDev = 7;
inline constexpr int efSetBreak = 8;
inline constexpr int efClrBreak = 9;

// Purge flags.
inline constexpr uint32_t purgeTxAbort = 0x01;
inline constexpr uint32_t purgeRxAbort = 0x02;
inline constexpr uint32_t purgeTxClear = 0x04;
inline constexpr uint32_t purgeRxClear = 0x08;

// The device went away under an open port (an adapter unplugged, the far end of a
// pty closed). It does not come back: the port must be closed and opened again.
inline constexpr int deNotConnected = DeviceFailure(SerialError::Disconnected);

// Characters per second and bits per character at given settings.
int BitsPerChar(const TDcb& dcb);

}  // namespace zarnik
