// The settings file "LoaderDefault.ini": positional settings, read once at start.
//
// How it works: the file is read line by line (a line ends at a line feed or at
// the end of the file; a carriage return before the line feed is dropped). Empty
// lines and lines starting with ";" or "[" have no position; every other line is a
// settings line and takes the next position from 1, whatever its key says. Its
// value is the text after its first "="; a settings line without "=" keeps its
// position and sets nothing. Reading stops after the 29th settings line.
// read_defaults returns the settings it found on top of the values it was given;
// the caller applies them (the port's line settings, the terminal's menu entries,
// the channel's prompts and loader-mode command, the engine's load word).
//
// Our choices where the format is silent: a missing or empty position 14 or 15
// keeps its prompt character. Positions 2, 3, 4, 5 and 8 are read from the first
// 19 characters of their value, as their field always held them, so "9600   ;
// bench rate" is 9600. A text that does not fit (the loader-mode command of
// position 19 over 18 characters, the load word of 24 over 19, the automatic
// script path of 6 over 199) and a line over 299 characters are not cut, which
// would make another command or path of them: the setting keeps its value and a
// note for the operator goes to `Refused` ("LoaderDefault.ini: setting 19 is
// longer than 18 characters; ignored"). Front ends print the notes on stderr.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/host.h"
#include "serial/port_contract.h"

namespace zarnik {

inline constexpr const char* kSettingsFileName = "LoaderDefault.ini";
inline constexpr int kSettingsPositions = 29;
inline constexpr size_t kSettingsLineMax = 299;
inline constexpr size_t kSettingsFieldMax = 19;
inline constexpr size_t kAutoScriptPathMax = 199;
// 29 settings lines and their comments fit many times over.
inline constexpr uint64_t kSettingsMaxBytes = uint64_t{1} << 20;

namespace msg {
inline constexpr const char* kInvalidBaud = "Error! Baud Rate set in INI file is invalid!";
}

// Colour choices of positions 21 and 22, in menu order.
enum TerminalColour { tcDefault, tcBlack, tcRed, tcGreen, tcBlue, tcWhite };

struct LoaderDefaults {
  int32_t DefaultComPort = 0;               // 1: 0 = no default port
  std::optional<int32_t> Baud;              // 2: one of the eight valid rates
  std::optional<uint16_t> DataBits;         // 3: 5 to 8
  std::optional<TParity> Parity;            // 4: 0 none ... 4 space
  std::optional<uint16_t> StopBits;         // 5: 1 or 2
  std::string AutoScriptPath;               // 6
  std::string ScriptFolder;                 // 7: read without effect
  bool AutomaticMode = false;               // 8
  char PromptChar1 = '#';                   // 14
  char PromptChar2 = '>';                   // 15
  std::string LoaderModeCmd = "LOADR\r";    // 19: with its carriage return
  std::optional<bool> TerminalVisible;      // 20: 0 hide, 1 show
  std::optional<TerminalColour> TerminalBackground;  // 21
  std::optional<TerminalColour> TerminalTextColour;  // 22
  std::optional<int32_t> BrandCode;         // 23: read by the splash window
  std::string LoadCmdWord = "LF";           // 24

  bool FileFound = false;                   // the file could be opened
  int SettingsLines = 0;                    // positions taken (at most 29)
  std::vector<std::string> Refused;         // notes on settings not used, one line each
};

// Reads the settings file at `path` (normally kSettingsFileName in the current
// folder). A file that cannot be opened changes nothing and says nothing; one that
// is not a regular file (a FIFO, a device) or is over kSettingsMaxBytes changes
// nothing and leaves a note in Refused. An
// invalid baud rate is shown through the host's message box and reading goes on.
LoaderDefaults read_defaults(const std::string& path, Host& host, LoaderDefaults current = {});
// The same from a stream opened elsewhere; `path` names it in the notes. A stream in
// a failed state counts as a file that cannot be opened.
LoaderDefaults read_defaults(std::istream& in, const std::string& path, Host& host,
                             LoaderDefaults current = {});

// Prints the notes in Refused, one line each (front ends: on stderr).
void PrintRefused(const LoaderDefaults& settings, std::ostream& out);

// Position 23 alone, read by the same line rules (the splash window reads it while
// the windows are built, before read_defaults runs): nothing when the file, the
// position or its "=" is missing.
std::optional<int32_t> ReadBrandCode(const std::string& path);
std::optional<int32_t> ReadBrandCode(std::istream& in, const std::string& path);

// Applies positions 2 to 5 to a port, those the file set validly.
void ApplyPortSettings(const LoaderDefaults& settings, PortContract& port);

}  // namespace zarnik
