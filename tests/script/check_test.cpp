// Checking a script without a unit: script text in, notes with line numbers out.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "script/script_check.h"

namespace zarnik::script {
namespace {

namespace fs = std::filesystem;
using S = CheckSeverity;

// The files a test's scripts name; anything else cannot be opened.
NamedFile Files(const std::string& path) {
  static const std::map<std::string, NamedFile> files = {
      {"a.bin", {true, true, ""}},
      {"b.bin", {true, true, ""}},
      {"huge.bin", {true, false, "it is too large to load"}},
  };
  auto it = files.find(path);
  return it != files.end() ? it->second : NamedFile{false, false, "No such file or directory"};
}

// A note as a test expects it: its line, its severity and a piece of its text.
struct Expected {
  int line;
  S severity;
  const char* part;
};

struct Case {
  const char* name;
  std::string script;
  std::vector<Expected> notes;
};

void Check(const Case& c) {
  SCOPED_TRACE(c.name);
  const std::vector<CheckNote> notes = CheckScriptText(c.script, Files);
  std::string got;
  for (const auto& n : notes)
    got +=
        std::to_string(n.line) + (n.severity == S::kWarning ? " warning: " : ": ") + n.text + "\n";
  ASSERT_EQ(notes.size(), c.notes.size()) << got;
  for (size_t i = 0; i < notes.size(); ++i) {
    EXPECT_EQ(notes[i].line, c.notes[i].line) << got;
    EXPECT_EQ(notes[i].severity, c.notes[i].severity) << got;
    EXPECT_NE(notes[i].text.find(c.notes[i].part), std::string::npos) << got;
  }
}

const std::string kChain = "_LA 8000\n_LV V1\n_LD\n";

TEST(ScriptCheck, LinesTheReaderSkipsOrCannotRun) {
  const Case cases[] = {
      {"blank, section, comment and settings-style lines are fine",
       "\n   \t\n[Loader]\n; note _XY\n  ; indented\nkey = value ; with a comment\n",
       {}},
      {"a line with neither _ nor ; is skipped",
       "_SC \"a\"\nLF a.bin\n   DM \"hi\"\n",
       {{2, S::kProblem, "line is skipped"}, {3, S::kProblem, "line is skipped"}}},
      {"text before the underscore is passed over", "Load = _LF a.bin\n" + kChain, {}},
      {"unknown codes, case-sensitive, the first three characters only",
       "_XY 1\n_lf a.bin\n_\n_LFX a.bin\n" + kChain,
       {{1, S::kProblem, "unknown command _XY"},
        {2, S::kProblem, "codes are upper case: _LF"},
        {3, S::kProblem, "unknown command _"}}},
      {"an underscore in a settings-style key opens a command",
       "my_key=1\n",
       {{1, S::kProblem, "unknown command _ke"}}},
      {"CR LF line ends are line ends", "_SC \"a\"\r\n_DM \"b\"\r\n", {}},
      {"a CR that ends no line is part of it",
       "_SC \"a\"\r_SC \"b\"\n",
       {{1, S::kProblem, "carriage return"}}},
      {"a CR at the very end of the file too",
       "_SC \"a\"\r",
       {{1, S::kProblem, "carriage return"}, {1, S::kProblem, "byte 0x0D is taken"}}},
      {"a NUL byte cuts the line the runner sees",
       std::string("_SC \"a\"") + '\0' + "junk\n",
       {{1, S::kProblem, "NUL byte"}}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(ScriptCheck, QuotedAndTestTexts) {
  const Case cases[] = {
      {"closed texts, semicolons and quotes inside",
       "_SC \"VER\"\n_TC \"^M\"\n_DM \"a ; b \"quoted\"\"\n_QC \"\"\n_LC \"LK\"\n_PC \">\"\n",
       {}},
      {"the last character is taken for the closing quote",
       "_DM \"hello\" \n_SC \"AB\n_TC \"x\";\n",
       {{1, S::kProblem, "a blank is taken for the closing quote"},
        {2, S::kProblem, "'B' is taken"},
        {3, S::kProblem, "';' is taken"}}},
      {"no text to cut out",
       "_SC VER\n_DM \"\n_PC\n",
       {{1, S::kProblem, "no quoted text"},
        {2, S::kProblem, "nothing after its opening quote"},
        {3, S::kProblem, "no quoted text"}}},
      {"_PC takes one character",
       "_PC \">>\"\n_PC \"\"\n",
       {{1, S::kWarning, "only '>'"}, {2, S::kWarning, "double quote the loader prompt"}}},
      {"tests: unclosed, nothing after, not a command",
       "_CE \"OK\" _SC \"GO\"\n_CE \"OK _SC \"GO\"\n_CS \"x\"\n_CE \"x\"\n_CS \"x\" DM \"y\"\n_CS "
       "x\n",
       {{2, S::kProblem, "not a command line"},
        {3, S::kProblem, "No line found after successful _CS"},
        {4, S::kProblem, "No line found after successful _CR"},
        {5, S::kProblem, "not a command line"},
        {6, S::kProblem, "no test text"}}},
      {"the test text needs its closing quote",
       "_CS \"unclosed\n",
       {{1, S::kProblem, "does not close with a second double quote"}}},
      {"a test's rest is checked as a command line",
       "_CS \"x\" _XY\n_CE \"a\" _CS \"b\" _DM \"c\n",
       {{1, S::kProblem, "unknown command _XY"}, {2, S::kProblem, "does not close"}}},
      {"numbers",
       "_DY\n_DY 10\n_DY -3\n_LP 0\n_LP x\n_LP 2\n_DY 1O\n_LP 1s\n_DY 20 \n",
       {{1, S::kWarning, "_DY has no number"},
        {3, S::kWarning, "negative"},
        {4, S::kWarning, "_LP 0 keeps the pause"},
        {5, S::kWarning, "_LP without a number"},
        {7, S::kWarning, "_DY 1O is not a plain number: a run reads it as 1"},
        {8, S::kWarning, "_LP 1s is not a plain number: a run reads it as 1"}}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(ScriptCheck, LinesAndFieldsTooLong) {
  const std::string fits = "_DM \"" + std::string(193, 'x') + "\"";  // 199 characters
  const std::string over = "_DM \"" + std::string(194, 'x') + "\"";
  std::string rows;
  for (int i = 0; i < 300; ++i) rows += "_SC \"\"\n";
  const Case cases[] = {
      {"199 characters fit, 200 do not",
       fits + "\n" + over + "\n",
       {{2, S::kProblem, "200 characters long; the reader takes at most 199"}}},
      {"the characters before the underscore do not count", "      " + fits + "\n", {}},
      {"300 command lines fit", rows, {}},
      {"the 301st is beyond the reading",
       rows + "; comment\n_SC \"\"\n_SC \"\"\n",
       {{302, S::kProblem, "beyond the 300"}}},
      {"a test that holds takes a second row",
       "_CE \"x\" _SC \"y\"\n" + rows,
       {{300, S::kWarning, "may be beyond the 300"}, {301, S::kProblem, "beyond the 300"}}},
      {"load address field",
       "_LF a.bin\n_LA " + std::string(49, '8') + "\n_LV V1\n_LD\n_LF b.bin\n_LA " +
           std::string(50, '8') + "\n_LV V1\n_LD\n",
       {{6, S::kProblem, "50 characters long; the field holds 49"}}},
      {"version field",
       "_LF a.bin\n_LA 1\n_LV " + std::string(89, 'v') + "\n_LD\n_LF b.bin\n_LA 1\n_LV " +
           std::string(90, 'v') + "\n_LD\n",
       {{7, S::kProblem, "90 characters long; the field holds 89"}}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(ScriptCheck, FileLoadChains) {
  const Case cases[] = {
      {"a complete chain per file", "_LF a.bin\n" + kChain + "_LK b.bin\n" + kChain, {}},
      {"_LA with no file named before it",
       kChain,
       {{1, S::kProblem, "_LA is skipped: no _LF or _LK names a file"}}},
      {"_LD before _LV",
       "_LF a.bin\n_LA 8000\n_LD\n_LV V1\n",
       {{3, S::kProblem, "_LD is skipped: no _LV"}}},
      {"_LV before _LA", "_LF a.bin\n_LV V1\n_LA 1\n_LD\n", {{2, S::kProblem, "_LV is skipped"}}},
      {"each file needs its own _LF",
       "_LF a.bin\n" + kChain + kChain,
       {{5, S::kProblem, "already had its _LA"}}},
      {"a file that cannot be opened: one note, not one per link",
       "_LF missing.bin\n" + kChain,
       {{1, S::kProblem, "_LF: cannot open missing.bin: No such file"}}},
      {"the name keeps its trailing blank",
       "_LF a.bin \n" + kChain,
       {{1, S::kProblem, "cannot open a.bin "}}},
      {"an earlier file stays ready, but the new name is what _LA measures",
       "_LF a.bin\n_LF missing.bin\n" + kChain,
       {{2, S::kProblem, "cannot open missing.bin"}}},
      {"a file too large to measure",
       "_LF huge.bin\n" + kChain,
       {{1, S::kProblem, "cannot be loaded: it is too large"}}},
      {"a link without its argument stops the chain",
       "_LF a.bin\n_LA\n_LV V1\n_LD\n",
       {{2, S::kProblem, "_LA has no load address"}}},
      {"_LV without a version",
       "_LF a.bin\n_LA 1\n_LV\n_LD\n",
       {{3, S::kProblem, "_LV has no version"}}},
      {"_LF without a name only sets the load word", "_LK\n_LF a.bin\n" + kChain, {}},
      {"a file named and replaced before it is sent",
       "_LF a.bin\n_LA 1\n_LF b.bin\n" + kChain,
       {{1, S::kWarning, "never loaded: line 3 names another"}}},
      {"a file named and never sent",
       "_LF a.bin\n_LA 1\n_LV V1\n",
       {{1, S::kWarning, "never loaded: no _LD follows"}}},
  };
  for (const auto& c : cases) Check(c);
}

TEST(ScriptCheck, TestLinesMayOrMayNotRunTheirRest) {
  const Case cases[] = {
      {"a file named only when a test holds: one warning for the chain",
       "_QC \"VER\"\n_CS \"FW 1\" _LF a.bin\n" + kChain,
       {{3, S::kWarning,
         "_LA may be skipped: whether the link before it is ready depends on "
         "the test on line 2"}}},
      {"a whole chain of test lines is sound",
       "_CS \"1\" _LF a.bin\n_CS \"1\" _LA 1\n_CS \"1\" _LV 1\n_CS \"1\" _LD\n",
       {{2, S::kWarning, "_LA may be skipped"}}},
      {"a link in a test's rest that can never run is a problem",
       "_CS \"x\" _LD\n",
       {{1, S::kProblem, "_LD is skipped"}}},
      {"a load that may run leaves the next chain clean",
       "_LF a.bin\n_LA 1\n_LV 1\n_CE \"y\" _LD\n_LF b.bin\n" + kChain,
       {}},
      {"a version given only when a test holds",
       "_LF a.bin\n_LA 1\n_CE \"y\" _LV 1\n_LD\n",
       {{4, S::kWarning, "_LD may be skipped"}}},
      {"a file named in a test cannot be opened: a problem whenever it runs",
       "_LF a.bin\n_CE \"y\" _LF missing.bin\n" + kChain,
       {{2, S::kProblem, "cannot open missing.bin"}}},
  };
  for (const auto& c : cases) Check(c);
}

// ---- The script file and the files it names, on the file system ----

struct CheckFiles : ::testing::Test {
  void SetUp() override {
    dir = fs::temp_directory_path() / ("zarnik-check-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "folder");
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path Write(const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return dir / name;
  }
  fs::path dir;
};

TEST_F(CheckFiles, ScriptsThatCannotBeRead) {
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string big(kMaxScriptBytes + 1, ';');
  const struct {
    fs::path path;
    const char* part;
  } cases[] = {
      {dir / "missing.sld", "No such file"}, {dir / "folder", "folder"},
      {dir / "fifo", "not a regular file"},  // and the check does not wait for a writer
      {"/dev/null", "not a regular file"},   {Write("big.sld", big), "a script is at most"},
  };
  for (const auto& c : cases) {
    ScriptCheck check = CheckScriptFile(c.path.string());
    EXPECT_FALSE(check.readable) << c.path;
    EXPECT_NE(check.error.find(c.part), std::string::npos) << check.error;
  }
  ScriptCheck ok = CheckScriptFile(Write("ok.sld", "_XY\n").string());
  ASSERT_TRUE(ok.readable) << ok.error;
  EXPECT_TRUE(ok.HasProblems());
}

TEST_F(CheckFiles, NamedFilesAreLookedUpAsTheRunLooksThemUp) {
  Write("fw.bin", "abc");
  ASSERT_EQ(mkfifo((dir / "fifo.bin").c_str(), 0600), 0);
  EXPECT_TRUE(LookUpNamedFile((dir / "fw.bin").string()).measurable);
  EXPECT_FALSE(LookUpNamedFile((dir / "folder").string()).opens);
  EXPECT_FALSE(LookUpNamedFile((dir / "fifo.bin").string()).opens);  // refused, not opened
  EXPECT_FALSE(LookUpNamedFile("/dev/zero").opens);                  // _LA would measure it forever

  // A relative name from the current folder, and the message says which folder.
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  NamedFile relative = LookUpNamedFile("fw.bin");
  NamedFile missing = LookUpNamedFile("other.bin");
  fs::current_path(before);
  EXPECT_TRUE(relative.opens);
  EXPECT_FALSE(missing.opens);
  EXPECT_NE(missing.why.find(dir.string()), std::string::npos) << missing.why;
}

}  // namespace
}  // namespace zarnik::script
