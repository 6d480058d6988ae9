// The runner's commands that talk to the unit and the operator: _SC, _TC, _DM,
// _DY, _PC, _QC, _CE and _CS.
#include <algorithm>

#include "script/script_engine.h"
#include "script/script_syntax.h"

namespace zarnik {

using script::QuotedArgument;
using script::ReplacePairs;

namespace {
constexpr int32_t kLoaderWaitTicks = 65;
constexpr int32_t kNormalWaitTicks = 265;
}  // namespace

bool ScriptEngine::CmdSendCommand(std::string_view line) {
  auto text = QuotedArgument(line);
  if (!text) return true;
  if (!PutCmdText(ReplacePairs(std::string(*text) + "\r", "^M", '\r'))) return false;
  ch_.SendCOMCmd();
  Pause(200);
  host_.ProcessMessages();
  return true;
}

bool ScriptEngine::TryLoaderPrompt(std::string_view text) {
  return ch_.SendCOMCmd_GetPrompt(text);
}

// Asks for the loader prompt; a unit that does not show it gets the loader-mode
// command once and then up to three lone carriage returns, spaced out so a unit
// that is still starting up has time to answer.
bool ScriptEngine::CmdTestLoader(std::string_view line) {
  auto quoted = QuotedArgument(line);
  if (!quoted) return true;
  FixedText<kTcTextSize> text;
  if (!text.Assign(ReplacePairs(*quoted, "^M", '\r')))
    return FieldError("a text", decltype(text)::kCapacity);
  Pause(100);
  ch_.ExpectedPrompt = ch_.PromptChar2;
  ch_.PromptTimeout = kLoaderWaitTicks;
  bool reached = TryLoaderPrompt(text.view());
  if (!reached && !Stopped()) {
    ch_.SendString(ch_.LoaderModeCmd);
    Pause(1000);
    reached = TryLoaderPrompt("\r");
  }
  for (int attempt = 0; attempt < 2 && !reached && !Stopped(); ++attempt) {
    Pause(2500);
    host_.ProcessMessages();
    reached = TryLoaderPrompt("\r");
  }
  // Stopped: no loader-mode command, no retries, no message; the reader stops on
  // Cancelled.
  if (!reached && Stopped()) return true;
  if (reached) {
    ch_.PromptTimeout = kNormalWaitTicks;
    return true;
  }
  // Tell a unit that answers, but not in loader mode, from one that is not there.
  ch_.ExpectedPrompt = ch_.PromptChar1;
  host_.ShowMessage(TryLoaderPrompt("\r") ? msg::kNotInLoaderMode : msg::kNoResponseTc);
  return false;
}

bool ScriptEngine::CmdDisplayMessage(std::string_view line) {
  auto text = QuotedArgument(line);
  if (!text) return true;
  if (!PutCmdText(ReplacePairs(*text, "^M", '\r'))) return false;
  host_.ShowMessage(ch_.CmdText.str());
  return true;
}

bool ScriptEngine::CmdDelay(std::string_view line) {
  auto word = script::WordArgument(line);
  int64_t steps = int64_t{word ? script::LeadingNumber(*word) : 0} * 10;
  host_.ProcessMessages();
  // Each 1 ms step sleeps up to its place on a schedule from the start, so a real
  // clock's oversleeping does not add up over thousands of steps.
  const uint64_t start = host_.NowMs();
  // A stop (the window's close) ends the wait; the reader stops after it.
  for (int64_t i = 1; i <= steps && !Cancelled(); ++i) {
    const uint64_t due = start + static_cast<uint64_t>(i);
    const uint64_t now = host_.NowMs();
    host_.Sleep(due > now ? static_cast<uint32_t>(due - now) : 0);
    ch_.ComPort1().CheckLine();
    host_.ProcessMessages();
  }
  return true;
}

bool ScriptEngine::CmdPromptChar(std::string_view line) {
  if (auto c = script::CharAfterQuote(line)) ch_.PromptChar2 = *c;
  return true;
}

bool ScriptEngine::CmdQuery(std::string_view line) {
  auto text = QuotedArgument(line);
  if (!text) return true;
  const std::string query = ReplacePairs(*text, "^M", ' ');
  if (!PutCmdText(query)) return false;
  ch_.ReplyMinLength = 10;
  ch_.SendCOMCmd_GetReply();
  Pause(100);
  host_.ProcessMessages();
  std::string reply = ch_.ReplyText();
  reply.erase(std::remove_if(reply.begin(), reply.end(),
                             [](char c) { return c == '\r' || c == '\n'; }),
              reply.end());
  // The reply buffer holds at most 999 characters, which LastReply always takes.
  LastReply.Assign(reply);
  if (QueryReplied) QueryReplied(query, LastReply.view());
  if (LastReply.empty()) host_.ShowMessage(msg::kNoResponseQc);
  return true;
}

bool ScriptEngine::CmdIfEquals(std::string_view line) { return RunIfHolds(line, false); }
bool ScriptEngine::CmdIfContains(std::string_view line) { return RunIfHolds(line, true); }

// The rest of a test line runs as a command line of its own in the current row;
// it advances ScriptRow itself, so the whole line takes two rows.
bool ScriptEngine::RunIfHolds(std::string_view line, bool contains) {
  auto arg = script::ParseTestArgument(line);
  if (!arg) return true;
  std::string text = ReplacePairs(ReplacePairs(arg->text, "\\r", '\r'), "\\n", '\n');
  if (!PutCmdText(text)) return false;
  const std::string_view reply = LastReply.view();
  bool holds = contains ? reply.find(text) != std::string_view::npos : reply == text;
  if (!holds) return true;
  if (arg->rest.empty()) {
    host_.ShowMessage(contains ? msg::kNoLineAfterCs : msg::kNoLineAfterCe);
    return true;
  }
  return RunLine(arg->rest);
}

}  // namespace zarnik
