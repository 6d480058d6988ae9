// Starting a run the way the operator's pick does, and reporting its outcome.
#include "script/script_engine.h"

namespace zarnik {

UploadOutcome ScriptEngine::RunScript(const std::string& path) {
  host_.SetWaitCursor(true);
  progress_.Cancelled = false;
  ClearScript();
  ScriptFileName = path;
  bool allRead = read_ini();
  return Report(allRead, !lastScriptOpened_);
}

UploadOutcome ScriptEngine::RunScript(const std::string& path, const BoardIndexTable& boards,
                                      const BoardSelector& selectBoard) {
  if (ch_.LinkMode != kLinkPci) return RunScript(path);
  host_.SetWaitCursor(true);
  progress_.Cancelled = false;
  bool allRead = true;
  bool unreadable = false;
  // A stop during one board's run also ends the later ones: each reading then
  // stops before its first character.
  for (int id = 0; id < kBoardIds; ++id) {
    if (boards[id] == -1) continue;
    SelectedBoard = id;
    if (selectBoard) selectBoard(id, boards[id]);
    ClearScript();
    ScriptFileName = path;
    allRead = read_ini() && allRead;
    unreadable = unreadable || !lastScriptOpened_;
  }
  return Report(allRead, unreadable);
}

UploadOutcome ScriptEngine::Report(bool allRead, bool unreadable) {
  const bool complete = allRead && !Cancelled();
  host_.ShowMessage(complete ? msg::kUploadComplete : msg::kUploadUnsuccessful);
  host_.SetWaitCursor(false);
  if (complete) return UploadOutcome::Complete;
  return unreadable ? UploadOutcome::ScriptUnreadable : UploadOutcome::Unsuccessful;
}

}  // namespace zarnik
