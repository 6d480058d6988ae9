// Checking a script without a unit: what a run would skip, refuse or fail on,
// with the script's line numbers.
//
// The checker reads the script the way the reader does (the same line classifier
// and code list, script_syntax.h) and follows what the runner would do with each
// command line, short of talking to a unit: argument forms, the reader's limits
// (199 characters per command line, 300 rows per reading, the load address and
// version fields), the files that _LF/_LK name, and the file-load chain
// _LF/_LK -> _LA -> _LV -> _LD with the flags that admit each link. It assumes a
// fresh start, as every zarnik-cli run has: no chain left over from another script.
//
// A test line (_CE, _CS) may or may not run its rest: what its rest would certainly
// get wrong is a problem, and what the lines after it may get wrong, depending on
// whether the test held, is a warning. Blank lines and [section] lines are skipped
// without a word; any other line that the reader skips is a problem, because it
// is most often a command that lost its underscore.
//
// Files are looked up the way the run looks them up: a relative name from the
// current folder. Nothing here opens a port or writes anything.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zarnik::script {

enum class CheckSeverity { kProblem, kWarning };

struct CheckNote {
  int line = 0;  // 1-based line of the script
  CheckSeverity severity = CheckSeverity::kProblem;
  std::string text;
  bool operator==(const CheckNote&) const = default;
};

// What a run would find when it opens a file named by _LF or _LK.
struct NamedFile {
  bool opens = false;       // _LF/_LK would accept it
  bool measurable = false;  // _LA could take its size and byte sum
  std::string why;          // when not: the reason, for the message
};
using FileLookup = std::function<NamedFile(const std::string& path)>;
// The real file system, relative names from the current folder. Devices, FIFOs
// and folders are refused without being opened (a run could hang on them).
NamedFile LookUpNamedFile(const std::string& path);

// Checks a script's text; notes in line order.
std::vector<CheckNote> CheckScriptText(std::string_view text,
                                       const FileLookup& files = LookUpNamedFile);

// A script larger than this is not a script: 300 command lines of 199 characters
// are under 60 KB, however many comments come with them.
inline constexpr uint64_t kMaxScriptBytes = 1 << 20;

struct ScriptCheck {
  bool readable = false;
  std::string error;  // when not readable: why, for the operator
  std::vector<CheckNote> notes;
  bool HasProblems() const;
};
// Reads the script (a regular file of at most kMaxScriptBytes) and checks it.
ScriptCheck CheckScriptFile(const std::string& path, const FileLookup& files = LookUpNamedFile);

}  // namespace zarnik::script
