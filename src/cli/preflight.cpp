#include "cli/preflight.h"

#include "app/settings.h"
#include "cli/multi_run.h"
#include "cli/run_report.h"
#include "platform/regular_file.h"
#include "record/history_db.h"
#include "script/script_engine.h"

namespace zarnik {

std::optional<std::string> Preflight(const CliOptions& o) {
  // The script is opened as the run will open it: a folder, a FIFO or a device fails here.
  if (OpenedFile script = ScriptEngine::OpenScript(o.scriptPath); !script)
    return "cannot open script " + o.scriptPath + ": " + script.reason;
  if (o.settingsPath != kSettingsFileName) {
    if (OpenedFile settings = OpenRegularFile(o.settingsPath, kSettingsMaxBytes); !settings)
      return "cannot read settings file " + o.settingsPath + ": " + settings.reason;
  }
  std::string error;
  if (!o.reportPath.empty() && !CanWriteFile(o.reportPath, "report", error)) return error;
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
  return std::nullopt;
}

}  // namespace zarnik
