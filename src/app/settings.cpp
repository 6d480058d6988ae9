#include "app/settings.h"

#include <algorithm>
#include <array>
#include <functional>
#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "platform/regular_file.h"
#include "script/script_syntax.h"

namespace zarnik {

namespace {

using script::LeadingNumber;

constexpr std::array<int32_t, 8> kValidBauds = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

std::string TooLong(const std::string& path, int position, size_t max) {
  return path + ": setting " + std::to_string(position) + " is longer than " + std::to_string(max) +
         " characters; ignored";
}

std::string SkipLeadingSpaces(const std::string& value) {
  size_t start = value.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : value.substr(start);
}

struct Reading {
  LoaderDefaults& s;
  Host* host;  // nullptr: nothing is shown
  const std::string& path;
  int position;
  const std::string& value;

  // What a 20-character field keeps of the value: a number or a word is read from
  // that, as it always was (a comment after the value does not spoil it).
  std::string Field() const { return value.substr(0, kSettingsFieldMax); }
  // A text cut to fit would be another command or path: it is not used, and the
  // operator is told.
  bool TextFits(const std::string& text, size_t max) const {
    if (text.size() <= max) return true;
    s.Refused.push_back(TooLong(path, position, max));
    return false;
  }
};

void DefaultComPort(Reading& r) {
  auto digit = std::find_if(r.value.begin(), r.value.end(), [](char c) { return c >= '1' && c <= '9'; });
  if (digit != r.value.end()) r.s.DefaultComPort = LeadingNumber(std::string(digit, r.value.end()));
}

void BaudRate(Reading& r) {
  int32_t baud = LeadingNumber(r.Field());
  if (std::find(kValidBauds.begin(), kValidBauds.end(), baud) != kValidBauds.end())
    r.s.Baud = baud;
  else if (r.host)
    r.host->ShowMessage(msg::kInvalidBaud);
}

void DataBits(Reading& r) {
  int32_t n = LeadingNumber(r.Field());
  if (n >= 5 && n <= 8) r.s.DataBits = static_cast<uint16_t>(n);
}

void Parity(Reading& r) {
  int32_t n = LeadingNumber(r.Field());
  if (n >= pNone && n <= pSpace) r.s.Parity = static_cast<TParity>(n);
}

void StopBits(Reading& r) {
  int32_t n = LeadingNumber(r.Field());
  if (n == 1 || n == 2) r.s.StopBits = static_cast<uint16_t>(n);
}

void AutoScript(Reading& r) {
  std::string path = SkipLeadingSpaces(r.value);
  if (r.TextFits(path, kAutoScriptPathMax)) r.s.AutoScriptPath = path;
}

void ScriptFolder(Reading& r) { r.s.ScriptFolder = r.value; }

void Automatic(Reading& r) {
  std::string word;
  for (char c : r.Field()) {
    if (c == ' ') continue;
    word.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  if (word == "AUTOMATIC") r.s.AutomaticMode = true;
}

void FirstCharInto(Reading& r, char& target) {
  std::string rest = SkipLeadingSpaces(r.value);
  if (!rest.empty()) target = rest[0];
}
void Prompt1(Reading& r) { FirstCharInto(r, r.s.PromptChar1); }
void Prompt2(Reading& r) { FirstCharInto(r, r.s.PromptChar2); }

void LoaderMode(Reading& r) {
  // The carriage return takes the field's last place.
  if (!r.TextFits(r.value, kSettingsFieldMax - 1)) return;
  std::string cmd = SkipLeadingSpaces(r.value);
  if (!cmd.empty()) r.s.LoaderModeCmd = cmd + "\r";
}

void TerminalShown(Reading& r) {
  int32_t n = LeadingNumber(r.value);
  if (n == 0 || n == 1) r.s.TerminalVisible = n == 1;
}

void ColourInto(Reading& r, std::optional<TerminalColour>& target) {
  int32_t n = LeadingNumber(r.value);
  if (n >= tcDefault && n <= tcWhite) target = static_cast<TerminalColour>(n);
}
void Background(Reading& r) { ColourInto(r, r.s.TerminalBackground); }
void TextColour(Reading& r) { ColourInto(r, r.s.TerminalTextColour); }

void Brand(Reading& r) { r.s.BrandCode = LeadingNumber(r.value); }

void LoadWord(Reading& r) {
  if (!r.TextFits(r.value, kSettingsFieldMax)) return;
  std::string word = SkipLeadingSpaces(r.value);
  if (!word.empty()) r.s.LoadCmdWord = word;
}

using Setter = void (*)(Reading&);
// Index = position; nullptr = not used.
constexpr std::array<Setter, kSettingsPositions + 1> kPositions = {
    nullptr,        DefaultComPort, BaudRate,   DataBits,      Parity,    StopBits,
    AutoScript,     ScriptFolder,   Automatic,  nullptr,       nullptr,   nullptr,
    nullptr,        nullptr,        Prompt1,    Prompt2,       nullptr,   nullptr,
    nullptr,        LoaderMode,     TerminalShown, Background, TextColour, Brand,
    LoadWord,       nullptr,        nullptr,    nullptr,       nullptr,   nullptr};

bool HasPosition(const std::string& line) {
  return !line.empty() && line[0] != ';' && line[0] != '[';
}

// onlyPosition: 0 reads every position.
LoaderDefaults ReadPositions(std::istream& in, const std::string& path, Host* host,
                             LoaderDefaults current, int onlyPosition) {
  LoaderDefaults s = std::move(current);
  if (!in) return s;
  s.FileFound = true;
  s.SettingsLines = 0;
  s.Refused.clear();
  std::string line;
  while (s.SettingsLines < kSettingsPositions && std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!HasPosition(line)) continue;
    const int position = ++s.SettingsLines;
    if (line.size() > kSettingsLineMax) {
      s.Refused.push_back(TooLong(path, position, kSettingsLineMax));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || !kPositions[position]) continue;
    if (onlyPosition != 0 && position != onlyPosition) continue;
    const std::string value = line.substr(eq + 1);
    Reading r{s, host, path, position, value};
    kPositions[position](r);
  }
  return s;
}

// The file itself: a regular file of bounded size, else a refusal note and nothing read
// (a FIFO or a device would block or never end).
LoaderDefaults ReadPositionsFromFile(const std::string& path, Host* host, LoaderDefaults current,
                                     int onlyPosition) {
  OpenedFile file = OpenRegularFile(path, kSettingsMaxBytes);
  std::string text;
  if (file && !ReadAtMost(file.get(), kSettingsMaxBytes, text)) {
    file.problem = FileProblem::TooLarge;
    file.reason = "larger than " + std::to_string(kSettingsMaxBytes) + " bytes";
  }
  if (file.problem == FileProblem::CannotOpen) return current;
  if (file.problem != FileProblem::None) {
    current.Refused = {path + ": " + file.reason + "; none of its settings are used"};
    return current;
  }
  std::istringstream in(text);
  return ReadPositions(in, path, host, std::move(current), onlyPosition);
}

}  // namespace

LoaderDefaults read_defaults(const std::string& path, Host& host, LoaderDefaults current) {
  return ReadPositionsFromFile(path, &host, std::move(current), 0);
}

LoaderDefaults read_defaults(std::istream& in, const std::string& path, Host& host,
                             LoaderDefaults current) {
  return ReadPositions(in, path, &host, std::move(current), 0);
}

constexpr int kBrandPosition = 23;

std::optional<int32_t> ReadBrandCode(const std::string& path) {
  return ReadPositionsFromFile(path, nullptr, {}, kBrandPosition).BrandCode;
}

std::optional<int32_t> ReadBrandCode(std::istream& in, const std::string& path) {
  return ReadPositions(in, path, nullptr, {}, kBrandPosition).BrandCode;
}

void PrintRefused(const LoaderDefaults& settings, std::ostream& out) {
  for (const auto& note : settings.Refused) out << note << '\n';
  out.flush();
}

void ApplyPortSettings(const LoaderDefaults& settings, PortContract& port) {
  if (settings.Baud) port.SetBaud(*settings.Baud);
  if (settings.DataBits) port.SetDataBits(*settings.DataBits);
  if (settings.Parity) port.SetParity(*settings.Parity);
  if (settings.StopBits) port.SetStopBits(*settings.StopBits);
}

}  // namespace zarnik
