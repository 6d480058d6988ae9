#include "cli/preflight.h"

#include <fstream>
#include <vector>

#include "app/settings.h"
#include "cli/multi_run.h"
#include "cli/port_list.h"
#include "cli/run_report.h"
#include "platform/regular_file.h"
#include "script/script_check.h"
#include "record/history_db.h"
#include "script/script_engine.h"
#include "serial/com_names.h"

namespace zarnik {

namespace {

// The device a unit names: its path, or the one its COM number leads to.
std::string DeviceOfUnit(const UnitPort& u) {
  return u.com ? ComDevicePath(static_cast<unsigned>(*u.com)) : u.path;
}

std::string NameOfUnit(const UnitPort& u) {
  return u.com ? "--com " + std::to_string(*u.com) : "--port " + u.path;
}

// A test line (_CE, _CS) runs its rest only when its test holds.
bool IsTestLine(const std::string& line) {
  const size_t code = line.find('_');
  return code != std::string::npos &&
         (line.compare(code, 3, "_CE") == 0 || line.compare(code, 3, "_CS") == 0);
}

// What `check` proves will fail before anything is sent: a file named by _LF or _LK,
// on a line that is not a test's, that cannot be opened. check's own line for it.
std::optional<std::string> FileThatCannotOpen(const std::string& scriptPath) {
  const script::ScriptCheck check = script::CheckScriptFile(scriptPath);
  if (!check.readable) return std::nullopt;  // the run says why, as it always has
  std::vector<std::string> lines;
  {
    std::ifstream in(scriptPath, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  for (const script::CheckNote& note : check.notes) {
    if (note.severity != script::CheckSeverity::kProblem) continue;
    if (note.text.rfind("_LF: cannot open ", 0) != 0 && note.text.rfind("_LK: cannot open ", 0) != 0)
      continue;
    const size_t at = static_cast<size_t>(note.line) - 1;
    if (at < lines.size() && IsTestLine(lines[at])) continue;
    return scriptPath + ":" + std::to_string(note.line) + ": " + note.text;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> Preflight(const CliOptions& o) {
  // The script is opened as the run will open it: a folder, a FIFO or a device fails here.
  if (OpenedFile script = ScriptEngine::OpenScript(o.scriptPath); !script)
    return "cannot open script " + o.scriptPath + ": " + script.reason;
  if (o.settingsPath != kSettingsFileName) {
    if (OpenedFile settings = OpenRegularFile(o.settingsPath, kSettingsMaxBytes); !settings)
      return "cannot read settings file " + o.settingsPath + ": " + settings.reason;
  }
  std::string error;
  if (!o.reportPath.empty() && o.reportPath != kReportToStdout &&
      !CanWriteFile(o.reportPath, "report", error))
    return error;
  // The record is the point of a history: one that cannot be opened stops the run.
  if (!o.dbPath.empty()) {
    HistoryDb db;
    if (!db.Open(o.dbPath, error)) return error;
  }
  if (!o.transcriptPath.empty()) {
    // Several units write one transcript each, named after the unit.
    std::vector<std::string> paths = {o.transcriptPath};
    if (o.units.size() > 1) {
      paths.clear();
      for (const std::string& name : UnitNames(o.units))
        paths.push_back(PathForUnit(o.transcriptPath, name));
    }
    for (const std::string& path : paths)
      if (!CanWriteFile(path, "transcript", error)) return error;
  }
  // One device under two names would get two runs at once on one line.
  for (size_t i = 0; i < o.units.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (SameDevice(DeviceOfUnit(o.units[j]), DeviceOfUnit(o.units[i])))
        return NameOfUnit(o.units[j]) + " and " + NameOfUnit(o.units[i]) +
               " name the same device";
  if (!o.noCheck) return FileThatCannotOpen(o.scriptPath);
  return std::nullopt;
}

}  // namespace zarnik
