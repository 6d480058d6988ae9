#include "script/script_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#include "script/file_stamp.h"
#include "script/script_engine.h"
#include "script/script_syntax.h"

namespace zarnik::script {

namespace {

constexpr size_t kAddressCapacity = decltype(ScriptEngine::LoadAddress)::kCapacity;
constexpr size_t kVersionCapacity = decltype(ScriptEngine::LoadVersion)::kCapacity;
constexpr size_t kFileNameCapacity = decltype(ScriptEngine::UploadFileName)::kCapacity;

// A flag of the file-load chain as far as the checker can know it. A flag is
// "explained" when a note already says why its link will not run, so one broken
// chain gives one note, not one per link.
enum class Tri { kNo, kMaybe, kYes };
struct Gate {
  Tri value = Tri::kNo;
  bool explained = false;
  int testLine = 0;  // the test line whose outcome makes it uncertain
};

Gate Merge(const Gate& notRun, const Gate& run, int testLine) {
  if (notRun.value == run.value)
    return {run.value, notRun.explained || run.explained, std::max(notRun.testLine, run.testLine)};
  return {Tri::kMaybe, notRun.explained || run.explained, testLine};
}

Tri Merge(Tri notRun, Tri run) {
  return notRun == run ? run : Tri::kMaybe;
}

struct ChainState {
  Gate fileReady, checksumReady, versionReady;
  Tri measurable = Tri::kNo;   // whether _LA could measure the file last named
  int measurableTestLine = 0;  // the test that makes it uncertain
  Tri pending = Tri::kNo;      // a file named and not yet sent by _LD
  int pendingLine = 0;
  int namedLine = 0;     // last _LF/_LK that named a file (0: none yet)
  int measuredLine = 0;  // last _LA that ran on it
};

ChainState Merge(const ChainState& notRun, const ChainState& run, int testLine) {
  ChainState m;
  m.fileReady = Merge(notRun.fileReady, run.fileReady, testLine);
  m.checksumReady = Merge(notRun.checksumReady, run.checksumReady, testLine);
  m.versionReady = Merge(notRun.versionReady, run.versionReady, testLine);
  m.measurable = Merge(notRun.measurable, run.measurable);
  m.measurableTestLine = m.measurable == Tri::kMaybe && notRun.measurable != run.measurable
                             ? testLine
                             : std::max(notRun.measurableTestLine, run.measurableTestLine);
  m.pending = Merge(notRun.pending, run.pending);
  m.pendingLine = std::max(notRun.pendingLine, run.pendingLine);
  m.namedLine = std::max(notRun.namedLine, run.namedLine);
  m.measuredLine = std::max(notRun.measuredLine, run.measuredLine);
  return m;
}

// A character as the operator can read it in a message.
std::string Shown(char c) {
  if (c == ' ') return "a blank";
  if (c == '\t') return "a tab";
  if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "byte 0x%02X", static_cast<unsigned char>(c));
    return buf;
  }
  return std::string("'") + c + "'";
}

std::string ShownText(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

class Checker {
 public:
  explicit Checker(const FileLookup& files) : files_(files) {}

  void Check(std::string_view text) {
    int lineNo = 1;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      const bool endedByLineFeed = end != std::string_view::npos;
      std::string_view line = text.substr(start, endedByLineFeed ? end - start : end);
      // A carriage return right before the line feed is not part of the line; one
      // at the very end of the file is, as the reader sees it.
      if (endedByLineFeed && !line.empty() && line.back() == '\r') line.remove_suffix(1);
      CheckLine(line, lineNo);
      if (!endedByLineFeed) break;
      start = end + 1;
      ++lineNo;
    }
    if (state_.pending == Tri::kYes)
      Warn(state_.pendingLine, "the file named here is never loaded: no _LD follows to send it");
    std::stable_sort(notes_.begin(), notes_.end(),
                     [](const CheckNote& a, const CheckNote& b) { return a.line < b.line; });
  }

  std::vector<CheckNote> TakeNotes() { return std::move(notes_); }

 private:
  void Problem(int line, std::string text) {
    notes_.push_back({line, CheckSeverity::kProblem, std::move(text)});
  }
  void Warn(int line, std::string text) {
    notes_.push_back({line, CheckSeverity::kWarning, std::move(text)});
  }

  void CheckLine(std::string_view line, int lineNo) {
    LineClassifier classify;
    size_t commandStart = std::string_view::npos;
    for (size_t i = 0; i < line.size(); ++i)
      if (classify.Take(line[i]) == ScriptChar::kOpensCommand) {
        commandStart = i;
        break;
      }
    if (commandStart == std::string_view::npos) {
      // No command opened: a comment when a ';' came first, else skipped whole.
      if (line.find(';') == std::string_view::npos) CheckSkippedLine(line, lineNo);
      return;
    }
    CheckCommandLine(line.substr(commandStart), lineNo);
  }

  // Blank lines and [section] lines are part of the format; anything else that
  // the reader passes over was most likely meant to do something.
  void CheckSkippedLine(std::string_view line, int lineNo) {
    constexpr std::string_view kBlanks = " \t\r\f\v";
    size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return;
    size_t last = line.find_last_not_of(kBlanks);
    if (line[first] == '[' && line[last] == ']') return;
    Problem(lineNo,
            "line is skipped: it has neither '_' (a command) nor ';' (a comment) before its "
            "text");
  }

  void CheckCommandLine(std::string_view line, int lineNo) {
    if (!rowsProblem_ && minRows_ >= kScriptRows) {
      rowsProblem_ = rowsWarned_ = true;
      Problem(lineNo, "command line is beyond the " + std::to_string(kScriptRows) +
                          " that one reading can hold (the run ends here)");
    } else if (!rowsWarned_ && maxRows_ >= kScriptRows) {
      rowsWarned_ = true;
      Warn(lineNo, "command line may be beyond the " + std::to_string(kScriptRows) +
                       " that one reading can hold: each test line whose test holds takes "
                       "two (the run would end here)");
    }
    if (line.size() > kMaxCommandLine) {
      Problem(lineNo, "command line is " + std::to_string(line.size()) +
                          " characters long; the reader takes at most " +
                          std::to_string(kMaxCommandLine) + " (the run ends here)");
      return;
    }
    if (line.find('\r') != std::string_view::npos)
      Problem(lineNo,
              "command line holds a carriage return that does not end it (a line ends at a "
              "line feed, or a carriage return and a line feed)");
    // The runner works on a NUL-terminated copy of the row.
    if (size_t nul = line.find('\0'); nul != std::string_view::npos) {
      Problem(lineNo, "command line holds a NUL byte; the runner sees only what comes before it");
      line = line.substr(0, nul);
    }
    ++minRows_;
    maxRows_ += 1 + NestedRows(line);
    RunCommand(line, lineNo, state_, 0);
  }

  // Rows that test lines nested in this line take besides its own, when they hold.
  static int NestedRows(std::string_view line) {
    int rows = 0;
    for (;;) {
      std::string_view code = CommandCode(line);
      if (code != "_CE" && code != "_CS") return rows;
      auto arg = ParseTestArgument(line);
      if (!arg || arg->rest.empty() || arg->rest[0] != '_') return rows;
      ++rows;
      line = arg->rest;
    }
  }

  // Follows the runner through one command line. testLine is the test line whose
  // rest this is (0: the line runs for certain when it is read).
  void RunCommand(std::string_view line, int lineNo, ChainState& s, int testLine) {
    const std::string_view code = CommandCode(line);
    if (!IsCommandCode(code)) return UnknownCode(code, lineNo);
    const std::string codeText(code);
    if (code == "_SC" || code == "_TC" || code == "_DM" || code == "_QC" || code == "_LC") {
      CheckQuoted(line, codeText, lineNo);
      return;
    }
    if (code == "_PC") return CheckPromptChar(line, lineNo);
    if (code == "_DY" || code == "_LP") return CheckNumber(line, codeText, lineNo);
    if (code == "_CE" || code == "_CS") return CheckTest(line, codeText, lineNo, s);
    if (code == "_LF" || code == "_LK") return NameFile(line, codeText, lineNo, s, testLine);
    Gate ChainState::*gate = code == "_LA"   ? &ChainState::fileReady
                             : code == "_LV" ? &ChainState::checksumReady
                                             : &ChainState::versionReady;
    RunChainLink(line, codeText, lineNo, s, gate);
  }

  void UnknownCode(std::string_view code, int lineNo) {
    std::string upper(code);
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    std::string text = "unknown command " + ShownText(code);
    if (upper != code && IsCommandCode(upper)) text += " (codes are upper case: " + upper + ")";
    Problem(lineNo, text);
  }

  // A quoted text runs from the first double quote to the last character of the
  // line, which is taken to be the closing quote whatever it is.
  bool CheckQuoted(std::string_view line, const std::string& code, int lineNo) {
    size_t quote = line.find('"');
    if (quote == std::string_view::npos) {
      Problem(lineNo, code + " has no quoted text: it does nothing");
      return false;
    }
    if (quote + 1 >= line.size()) {
      Problem(lineNo, code + " has nothing after its opening quote: it does nothing");
      return false;
    }
    if (line.back() != '"') {
      Problem(lineNo, code + ": the quoted text does not close on the last character; " +
                          Shown(line.back()) + " is taken for the closing quote and dropped");
      return false;
    }
    return true;
  }

  void CheckPromptChar(std::string_view line, int lineNo) {
    if (!CheckQuoted(line, "_PC", lineNo)) return;
    auto text = QuotedArgument(line);
    if (text->empty())
      Warn(lineNo, "_PC \"\" makes the double quote the loader prompt");
    else if (text->size() > 1)
      Warn(lineNo,
           "_PC takes one character: only " + Shown(text->front()) + " becomes the loader prompt");
  }

  // Numbers are read as the runner reads them: blanks, a sign, then digits.
  static bool HasNumber(std::optional<std::string_view> word) {
    if (!word) return false;
    size_t i = word->find_first_not_of(" \t");
    if (i < word->size() && ((*word)[i] == '+' || (*word)[i] == '-')) ++i;
    return i < word->size() && (*word)[i] >= '0' && (*word)[i] <= '9';
  }

  // A number and nothing after it but blanks ("1O" and "1s" are read as 1).
  static bool IsPlainNumber(std::string_view word) {
    size_t i = word.find_first_not_of(" \t");
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
    const size_t digits = i;
    while (i < word.size() && word[i] >= '0' && word[i] <= '9') ++i;
    return i > digits && word.find_first_not_of(" \t", i) == std::string_view::npos;
  }

  void CheckNumber(std::string_view line, const std::string& code, int lineNo) {
    auto word = WordArgument(line);
    const int32_t n = word ? LeadingNumber(*word) : 0;
    if (HasNumber(word) && !IsPlainNumber(*word))
      Warn(lineNo, code + " " + ShownText(*word) + " is not a plain number: a run reads it as " +
                       std::to_string(n));
    if (code == "_DY") {
      if (!HasNumber(word)) Warn(lineNo, "_DY has no number: it does not wait");
      if (n < 0) Warn(lineNo, "_DY with a negative number does not wait");
      return;
    }
    if (n <= 0 || n > std::numeric_limits<int32_t>::max() / 1000)
      Warn(lineNo,
           std::string(HasNumber(word) ? "_LP " + std::to_string(n) : "_LP without a number") +
               " keeps the pause it had (3.6 s unless an earlier _LP changed it); "
               "it takes a positive number of seconds");
  }

  void CheckTest(std::string_view line, const std::string& code, int lineNo, ChainState& s) {
    if (line.find('"') == std::string_view::npos)
      return Problem(lineNo, code + " has no test text: it does nothing");
    auto arg = ParseTestArgument(line);
    if (!arg)
      return Problem(lineNo, code +
                                 ": the test text does not close with a second double "
                                 "quote: the line does nothing");
    const std::string shown = code == "_CE" ? "_CR" : code;
    if (arg->rest.empty())
      return Problem(lineNo,
                     "nothing follows the test: when it holds, the run shows \"Error! No "
                     "line found after successful " +
                         shown + "\"");
    if (arg->rest[0] != '_')
      return Problem(lineNo,
                     "what follows the test is not a command line (it must begin with '_'): "
                     "nothing runs when the test holds");
    // The rest runs only when the test holds.
    ChainState ran = s;
    RunCommand(arg->rest, lineNo, ran, lineNo);
    s = Merge(s, ran, lineNo);
  }

  void NameFile(std::string_view line, const std::string& code, int lineNo, ChainState& s,
                int testLine) {
    auto word = WordArgument(line);
    if (!word) return;  // sets the load word only
    const std::string path(*word);
    if (path.size() > kFileNameCapacity)
      return Problem(lineNo, "file name longer than " + std::to_string(kFileNameCapacity) +
                                 " characters (the run ends here)");
    s.checksumReady = {};
    s.versionReady = {};
    s.namedLine = lineNo;
    s.measuredLine = 0;
    NamedFile file = path.empty() ? NamedFile{false, false, "the name is empty"} : files_(path);
    if (!file.opens) {
      // FileReady stays as it was: an _LA would still run, on a file it cannot read.
      Problem(lineNo, code + ": cannot open " + ShownText(path) + ": " + file.why);
      s.measurable = Tri::kNo;
      if (s.fileReady.value != Tri::kYes) s.fileReady.explained = true;
      s.checksumReady.explained = true;
      s.versionReady.explained = true;
      // A file named before and not yet sent cannot be sent now either; this
      // note says why.
      s.pending = Tri::kNo;
      return;
    }
    if (!file.measurable) {
      Problem(lineNo, code + ": " + ShownText(path) + " cannot be loaded: " + file.why);
      s.measurable = Tri::kNo;
    } else {
      if (s.pending == Tri::kYes && testLine == 0)
        Warn(s.pendingLine, "the file named here is never loaded: line " + std::to_string(lineNo) +
                                " names another before an _LD sends it");
      s.measurable = Tri::kYes;
      s.pending = Tri::kYes;
      s.pendingLine = lineNo;
    }
    s.fileReady = {Tri::kYes, false, 0};
  }

  // _LA, _LV and _LD: each recognised only while the flag the link before it set.
  void RunChainLink(std::string_view line, const std::string& code, int lineNo, ChainState& s,
                    Gate ChainState::*gate) {
    const Gate g = s.*gate;
    if (g.value == Tri::kYes) return RunLink(line, code, lineNo, s);
    if (g.value == Tri::kNo) {
      if (!g.explained) {
        Problem(lineNo, code + " is skipped: " + WhyClosed(code, s));
        s.pending = Tri::kNo;  // the file's fate is told here
      }
      ExplainNext(s, gate);
      return;
    }
    if (!g.explained)
      Warn(lineNo, code +
                       " may be skipped: whether the link before it is ready depends on "
                       "the test on line " +
                       std::to_string(g.testLine));
    ChainState ran = s;
    RunLink(line, code, lineNo, ran);
    ExplainNext(s, gate);
    s = Merge(s, ran, g.testLine);
    ExplainNext(s, gate);
  }

  static std::string WhyClosed(const std::string& code, const ChainState& s) {
    if (code == "_LA") {
      if (s.namedLine == 0) return "no _LF or _LK names a file before it";
      return "the file named on line " + std::to_string(s.namedLine) +
             " already had its _LA; each file needs its own _LF or _LK";
    }
    if (code == "_LV") return "no _LA before it measured a file (an _LF/_LK, then _LA)";
    return "no _LV before it completes a file's chain (_LF/_LK, _LA, _LV, then _LD)";
  }

  // The link after a closed one cannot run either; its note would only repeat.
  static void ExplainNext(ChainState& s, Gate ChainState::*gate) {
    Gate* next = gate == &ChainState::fileReady       ? &s.checksumReady
                 : gate == &ChainState::checksumReady ? &s.versionReady
                                                      : nullptr;
    if (next && next->value != Tri::kYes) next->explained = true;
  }

  void RunLink(std::string_view line, const std::string& code, int lineNo, ChainState& s) {
    auto word = WordArgument(line);
    if (code == "_LA") {
      s.fileReady = {};
      s.measuredLine = lineNo;
      s.checksumReady.explained = true;
      if (!word || word->size() > kAddressCapacity) s.pending = Tri::kNo;
      if (!word) return Problem(lineNo, "_LA has no load address: the file's chain stops here");
      if (word->size() > kAddressCapacity)
        return Problem(lineNo, "load address is " + std::to_string(word->size()) +
                                   " characters long; the field holds " +
                                   std::to_string(kAddressCapacity) + " (the run ends here)");
      if (s.measurable == Tri::kYes) s.checksumReady = {Tri::kYes, false, 0};
      // Only a file that cannot be measured makes it uncertain, and that has its note.
      if (s.measurable == Tri::kMaybe) s.checksumReady = {Tri::kMaybe, true, s.measurableTestLine};
      return;
    }
    if (code == "_LV") {
      s.checksumReady = {};
      s.versionReady.explained = true;
      if (!word || word->size() > kVersionCapacity) s.pending = Tri::kNo;
      if (!word) return Problem(lineNo, "_LV has no version: the file's chain stops here");
      if (word->size() > kVersionCapacity)
        return Problem(lineNo, "version is " + std::to_string(word->size()) +
                                   " characters long; the field holds " +
                                   std::to_string(kVersionCapacity) + " (the run ends here)");
      s.versionReady = {Tri::kYes, false, 0};
      return;
    }
    s.versionReady = {};
    s.pending = Tri::kNo;
  }

  const FileLookup& files_;
  ChainState state_;
  std::vector<CheckNote> notes_;
  int minRows_ = 0;
  int maxRows_ = 0;
  bool rowsProblem_ = false;
  bool rowsWarned_ = false;
};

std::string Reason(int err) {
  return std::strerror(err);
}

}  // namespace

NamedFile LookUpNamedFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    std::string why = Reason(err);
    if (!path.empty() && path[0] != '/') {
      char cwd[4096];
      if (::getcwd(cwd, sizeof cwd))
        why += " (a run looks for it from the current folder, " + std::string(cwd) + ")";
    }
    if (!path.empty() && path.back() == ' ') why += "; the name ends with a blank, which counts";
    return {false, false, why};
  }
  if (S_ISDIR(st.st_mode)) return {false, false, "it is a folder"};
  if (!S_ISREG(st.st_mode))
    return {false, false, "it is not a regular file (a device or a FIFO cannot be loaded)"};
  if (!OpenForRead(path)) return {false, false, Reason(errno)};
  if (static_cast<uint64_t>(st.st_size) >
      static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
    return {true, false, "it is too large to load (" + std::to_string(st.st_size) + " bytes)"};
  return {true, true, ""};
}

std::vector<CheckNote> CheckScriptText(std::string_view text, const FileLookup& files) {
  Checker checker(files);
  checker.Check(text);
  return checker.TakeNotes();
}

bool ScriptCheck::HasProblems() const {
  return std::any_of(notes.begin(), notes.end(),
                     [](const CheckNote& n) { return n.severity == CheckSeverity::kProblem; });
}

ScriptCheck CheckScriptFile(const std::string& path, const FileLookup& files) {
  ScriptCheck result;
  auto fail = [&](const std::string& why) {
    result.error = "cannot read script " + path + ": " + why;
    return result;
  };
  // O_NONBLOCK: a FIFO named as the script must not hang the check.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(Reason(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(Reason(errno));
  if (S_ISDIR(st.st_mode)) return fail("it is a folder");
  if (!S_ISREG(st.st_mode)) return fail("it is not a regular file (a device or a FIFO)");
  if (static_cast<uint64_t>(st.st_size) > kMaxScriptBytes)
    return fail("it is " + std::to_string(st.st_size) + " bytes; a script is at most " +
                std::to_string(kMaxScriptBytes) + " bytes");
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(Reason(errno));
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    // It may have grown since it was measured.
    if (text.size() > kMaxScriptBytes)
      return fail("it is larger than " + std::to_string(kMaxScriptBytes) + " bytes");
  }
  result.readable = true;
  result.notes = CheckScriptText(text, files);
  return result;
}

}  // namespace zarnik::script
