#include "app/settings.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <iterator>

#include "script/script_syntax.h"

namespace zarnik {

namespace {

using script::LeadingNumber;

constexpr std::array<int32_t, 8> kValidBauds = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

std::string SkipLeadingSpaces(const std::string& value) {
  size_t start = value.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : value.substr(start);
}

struct Reading {
  LoaderDefaults& s;
  Host& host;
  int position;
  const std::string& value;

  // The value as it would stand in its 20-character field; false when it does not fit.
  bool Fits(size_t max) const {
    if (value.size() <= max) return true;
    s.Refused.push_back("position " + std::to_string(position) + ": value longer than " +
                        std::to_string(max) + " characters");
    return false;
  }
};

void DefaultComPort(Reading& r) {
  auto digit = std::find_if(r.value.begin(), r.value.end(), [](char c) { return c >= '1' && c <= '9'; });
  if (digit != r.value.end()) r.s.DefaultComPort = LeadingNumber(std::string(digit, r.value.end()));
}

void BaudRate(Reading& r) {
  if (!r.Fits(kSettingsFieldMax)) return;
  int32_t baud = LeadingNumber(r.value);
  if (std::find(kValidBauds.begin(), kValidBauds.end(), baud) != kValidBauds.end())
    r.s.Baud = baud;
  else
    r.host.ShowMessage(msg::kInvalidBaud);
}

void DataBits(Reading& r) {
  if (!r.Fits(kSettingsFieldMax)) return;
  int32_t n = LeadingNumber(r.value);
  if (n >= 5 && n <= 8) r.s.DataBits = static_cast<uint16_t>(n);
}

void Parity(Reading& r) {
  if (!r.Fits(kSettingsFieldMax)) return;
  int32_t n = LeadingNumber(r.value);
  if (n >= pNone && n <= pSpace) r.s.Parity = static_cast<TParity>(n);
}

void StopBits(Reading& r) {
  if (!r.Fits(kSettingsFieldMax)) return;
  int32_t n = LeadingNumber(r.value);
  if (n == 1 || n == 2) r.s.StopBits = static_cast<uint16_t>(n);
}

void AutoScript(Reading& r) {
  std::string path = SkipLeadingSpaces(r.value);
  if (path.size() > kAutoScriptPathMax) {
    r.s.Refused.push_back("position 6: automatic script path longer than " +
                          std::to_string(kAutoScriptPathMax) + " characters");
    return;
  }
  r.s.AutoScriptPath = path;
}

void ScriptFolder(Reading& r) { r.s.ScriptFolder = r.value; }

void Automatic(Reading& r) {
  if (!r.Fits(kSettingsFieldMax)) return;
  std::string word;
  for (char c : r.value) {
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
  if (!r.Fits(kSettingsFieldMax - 1)) return;  // the carriage return takes the last place
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
  if (!r.Fits(kSettingsFieldMax)) return;
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

}  // namespace

LoaderDefaults read_defaults(const std::string& path, Host& host, LoaderDefaults current) {
  LoaderDefaults s = std::move(current);
  std::ifstream in(path, std::ios::binary);
  if (!in) return s;
  s.FileFound = true;
  s.SettingsLines = 0;
  std::string line;
  while (s.SettingsLines < kSettingsPositions && std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!HasPosition(line)) continue;
    const int position = ++s.SettingsLines;
    if (line.size() > kSettingsLineMax) {
      s.Refused.push_back("position " + std::to_string(position) + ": line longer than " +
                          std::to_string(kSettingsLineMax) + " characters");
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || !kPositions[position]) continue;
    const std::string value = line.substr(eq + 1);
    Reading r{s, host, position, value};
    kPositions[position](r);
  }
  return s;
}

void ApplyPortSettings(const LoaderDefaults& settings, PortContract& port) {
  if (settings.Baud) port.SetBaud(*settings.Baud);
  if (settings.DataBits) port.SetDataBits(*settings.DataBits);
  if (settings.Parity) port.SetParity(*settings.Parity);
  if (settings.StopBits) port.SetStopBits(*settings.StopBits);
}

}  // namespace zarnik
