// What a zarnik-cli and the zarnik-cli processes it starts for several units say to
// each other: the exit statuses every run ends with, the two options that make a run a
// unit among several, and the unit's events on its pipe, one line each:
//   file <name>      a file starts going out   bar <text>    the bar as it stands
//   idle             no file going out
//   message <text>   the run's last message    error <text>  the first error shown
//   report <json>    the unit's record for --report
// Both sides use EncodeUnitEvent and DecodeUnitEvent, so the words live here only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zarnik {

inline constexpr int kExitComplete = 0;     // "Upload Complete." and no error shown
inline constexpr int kExitUnsuccessful = 1;  // unsuccessful, or an error shown
inline constexpr int kExitCannotStart = 2;   // usage error, or nothing could be started
// A unit's process could not be started (exec failed), or was ended by a second Ctrl-C.
inline constexpr int kExitNoProgram = 127;
inline constexpr int kExitAtOnce = 130;

// The options a unit's process is started with (not in --help: for zarnik-cli itself).
inline constexpr const char* kUnitNameOption = "--unit-name";
inline constexpr const char* kUnitEventsOption = "--unit-events";

struct UnitEvent {
  enum class Kind { kFile, kBar, kIdle, kMessage, kError, kReport };
  Kind kind = Kind::kIdle;
  std::string text;
  bool operator==(const UnitEvent&) const = default;
};

// A text on one line: line ends become spaces, trailing spaces go.
std::string OneLine(std::string text);

// The event as one line, '\n' included, its text made OneLine so it cannot split it.
std::string EncodeUnitEvent(const UnitEvent& event);
// One line without its '\n'; nullopt for a line of no known kind.
std::optional<UnitEvent> DecodeUnitEvent(std::string_view line);

}  // namespace zarnik
