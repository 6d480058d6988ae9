// Fuzz target: the settings file reader. The input is the whole of
// "LoaderDefault.ini", read from memory; whatever it holds, the settings that come out stay inside
// their ranges and field widths, and the splash window's own reading of position
// 23 agrees with the full reading.
#include <algorithm>
#include <array>
#include <cstdint>
#include <sstream>
#include <string>

#include "app/settings.h"
#include "fuzz_support.h"
#include "platform/virtual_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zarnik;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = kSettingsFileName;
  auto stream = [&] { return std::istringstream(text, std::ios::binary); };
  VirtualHost host;
  auto in = stream();
  const LoaderDefaults s = read_defaults(in, path, host);

  FUZZ_CHECK(s.FileFound);
  FUZZ_CHECK(s.SettingsLines >= 0 && s.SettingsLines <= kSettingsPositions);
  FUZZ_CHECK(s.DefaultComPort >= 0);
  constexpr std::array<int32_t, 8> kBauds = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  FUZZ_CHECK(!s.Baud || std::find(kBauds.begin(), kBauds.end(), *s.Baud) != kBauds.end());
  FUZZ_CHECK(!s.DataBits || (*s.DataBits >= 5 && *s.DataBits <= 8));
  FUZZ_CHECK(!s.Parity || (*s.Parity >= pNone && *s.Parity <= pSpace));
  FUZZ_CHECK(!s.StopBits || *s.StopBits == 1 || *s.StopBits == 2);
  FUZZ_CHECK(s.AutoScriptPath.size() <= kAutoScriptPathMax);
  // The loader-mode command fills a field of 19 with its carriage return.
  FUZZ_CHECK(s.LoaderModeCmd.size() >= 2 && s.LoaderModeCmd.size() <= kSettingsFieldMax);
  FUZZ_CHECK(s.LoaderModeCmd.back() == '\r');
  FUZZ_CHECK(!s.LoadCmdWord.empty() && s.LoadCmdWord.size() <= kSettingsFieldMax);
  FUZZ_CHECK(!s.TerminalBackground ||
             (*s.TerminalBackground >= tcDefault && *s.TerminalBackground <= tcWhite));
  FUZZ_CHECK(!s.TerminalTextColour ||
             (*s.TerminalTextColour >= tcDefault && *s.TerminalTextColour <= tcWhite));
  for (const auto& note : s.Refused) FUZZ_CHECK(note.find('\n') == std::string::npos);
  // The only box the reader may show.
  for (const auto& text : host.messages) FUZZ_CHECK(text == msg::kInvalidBaud);
  auto brandIn = stream();
  FUZZ_CHECK(ReadBrandCode(brandIn, path) == s.BrandCode);
  // Reading again on top of the values just read changes none of them.
  auto againIn = stream();
  const LoaderDefaults again = read_defaults(againIn, path, host, s);
  FUZZ_CHECK(again.LoaderModeCmd == s.LoaderModeCmd && again.LoadCmdWord == s.LoadCmdWord &&
             again.AutoScriptPath == s.AutoScriptPath && again.Baud == s.Baud &&
             again.PromptChar1 == s.PromptChar1 && again.PromptChar2 == s.PromptChar2);
  return 0;
}
