#include "cli/check_command.h"

#include "script/script_check.h"

namespace zarnik {

const char* const kCliCheckUsage =
    "Usage: zarnik-cli check SCRIPT\n"
    "\n"
    "Reads SCRIPT as a run would, without a unit, and reports with line numbers:\n"
    "  - lines the reader skips (neither '_' nor ';' before their text; blank lines and\n"
    "    [section] lines are fine), unknown command codes;\n"
    "  - quoted texts that do not close on the last character of their line, test lines\n"
    "    (_CE, _CS) without a closing quote or without a command after the test;\n"
    "  - command lines over 199 characters, load addresses over 49 and versions over 89,\n"
    "    more than 300 command lines in one reading;\n"
    "  - files named by _LF/_LK that cannot be opened (a relative name is looked up from\n"
    "    the current folder, as a run looks it up: check from the folder you run from);\n"
    "  - file-load chains that cannot complete: _LA with no file named before it, _LV\n"
    "    before _LA, _LD before _LV, a file named and never loaded.\n"
    "A line that certainly goes wrong is a problem. What depends on whether a test line\n"
    "(_CE, _CS) held, and what runs but probably not as meant (_LP 0, a _PC with several\n"
    "characters), is a warning. It never opens a port.\n"
    "\n"
    "Output (stdout): SCRIPT:LINE: text, warnings as SCRIPT:LINE: warning: text, then\n"
    "a count.\n"
    "\n"
    "Exit status: 0 no problems (warnings allowed), 1 problems found, 2 usage error or a\n"
    "script that cannot be read (missing, not a regular file, over 1 MiB).\n";

namespace {

// A binary file named by mistake would bury the first notes under thousands.
constexpr size_t kMaxNotesShown = 100;

}  // namespace

int RunCheckCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string path;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      out << kCliCheckUsage;
      return 0;
    }
    if (!a.empty() && a[0] == '-') {
      err << "zarnik-cli: unknown option '" << a << "'\nTry 'zarnik-cli check --help'.\n";
      return 2;
    }
    if (!path.empty()) {
      err << "zarnik-cli: check takes one script ('" << path << "', '" << a << "')\n";
      return 2;
    }
    path = a;
  }
  if (path.empty()) {
    err << "zarnik-cli: check needs a script file\nTry 'zarnik-cli check --help'.\n";
    return 2;
  }
  const script::ScriptCheck check = script::CheckScriptFile(path);
  if (!check.readable) {
    err << "zarnik-cli: " << check.error << "\n";
    return 2;
  }
  size_t problems = 0;
  size_t warnings = 0;
  for (const script::CheckNote& note : check.notes) {
    const bool warning = note.severity == script::CheckSeverity::kWarning;
    (warning ? warnings : problems)++;
    if (problems + warnings > kMaxNotesShown) continue;
    out << path << ":" << note.line << ": " << (warning ? "warning: " : "") << note.text << "\n";
  }
  if (problems + warnings > kMaxNotesShown)
    out << path << ": " << problems + warnings - kMaxNotesShown << " more notes not shown\n";
  auto count = [](size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  if (problems + warnings == 0)
    out << path << ": no problems found\n";
  else
    out << path << ": " << count(problems, "problem") << ", " << count(warnings, "warning") << "\n";
  out.flush();
  return problems > 0 ? 1 : 0;
}

}  // namespace zarnik
