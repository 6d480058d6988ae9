// A cable pulled under a run: wherever the script is, it ends at once with one
// message naming the device, and leaves nothing armed or hidden behind it.
#include <gtest/gtest.h>

#include <functional>

#include "script/run_outcome.h"
#include "script_rig.h"

namespace zarnik {
namespace {

using testing::ScriptRig;
using Messages = std::vector<std::string>;

constexpr const char* kDevice = "/dev/ttyUSB7";
constexpr const char* kLost = "Error! Serial port failure: /dev/ttyUSB7 was disconnected.";

std::string Firmware(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 13);
  return s;
}

TEST(LostLine, TheRunEndsAtOnceWhereverItIs) {
  struct Case {
    const char* name;
    sim::SimUnitOptions unit;
    // The script, given the path of a 6000-byte firmware file.
    std::function<std::string(const std::string& firmware)> script;
    // Pulls the cable (at a virtual time, or after so many bytes).
    std::function<void(ScriptRig&)> pull;
  };
  sim::SimUnitOptions stuck;
  stuck.neverLoader = true;
  sim::SimUnitOptions absent;
  absent.absent = true;
  auto at = [](uint64_t ms) {
    return [ms](ScriptRig& r) {
      if (ms == 0)
        r.port.Unplug(kDevice);
      else
        r.host.ScheduleIn(ms, [&r] { r.port.Unplug(kDevice); });
    };
  };
  const Case cases[] = {
      {"before the first command", {}, [](auto&) { return "_TC \"^M\"\n_DM \"after\"\n"; }, at(0)},
      {"in a prompt wait", stuck, [](auto&) { return "_TC \"^M\"\n_DM \"after\"\n"; }, at(1000)},
      // The first wait ends at 3675 ms; the loader command's pause of 1000 ms follows.
      {"in a pause between tries", stuck, [](auto&) { return "_TC \"^M\"\n_DM \"after\"\n"; },
       at(4000)},
      {"in a reply wait", absent, [](auto&) { return "_QC \"VER\"\n_DM \"after\"\n"; }, at(1000)},
      {"in a delay", {}, [](auto&) { return "_DY 500\n_DM \"after\"\n"; }, at(1000)},
      {"in the file's data",
       {},
       [](const std::string& fw) {
         return "_TC \"^M\"\n_LF " + fw + "\n_LA 8000\n_LV V1\n_LD\n_DM \"after\"\n";
       },
       [](ScriptRig& r) { r.port.UnplugAfterDelivered(3000, kDevice); }},
  };
  for (const auto& c : cases) {
    ScriptRig r(c.unit);
    const std::string fw = r.files.Write("fw.bin", Firmware(6000));
    c.pull(r);
    EXPECT_FALSE(r.Read(c.script(fw))) << c.name;
    ASSERT_NE(r.port.UnpluggedAtMs(), UINT64_MAX) << c.name;
    // Not a command timer, a prompt wait, a pause or a block's wait later.
    EXPECT_LT(r.host.NowMs() - r.port.UnpluggedAtMs(), 100u) << c.name;
    EXPECT_EQ(r.host.messages, Messages{kLost}) << c.name;
    EXPECT_TRUE(r.progress.Cancelled) << c.name;
    for (const auto& put : r.port.Puts()) EXPECT_LE(put.atMs, r.port.UnpluggedAtMs()) << c.name;
    // The window is back as it is between runs.
    EXPECT_TRUE(r.engine.UploadIdle) << c.name;
    EXPECT_TRUE(r.host.configMenuVisible) << c.name;
    EXPECT_FALSE(r.progress.Visible()) << c.name;
    EXPECT_TRUE(r.host.scriptButtonsEnabled) << c.name;
    EXPECT_FALSE(r.engine.Reading()) << c.name;
    EXPECT_FALSE(r.ch.ReplyPending) << c.name;
    EXPECT_FALSE(r.host.TimerEnabled(r.ch.CommandTimer)) << c.name;
  }
}

TEST(LostLine, ThePickReportsAnUnsuccessfulRunThatCountsAsFailed) {
  ScriptRig r;
  const std::string path = r.files.Write("run.sld", "_TC \"^M\"\n_DM \"after\"\n");
  r.port.Unplug(kDevice);
  RunOutcome run(r.host);
  const UploadOutcome outcome = r.engine.RunScript(path);
  EXPECT_EQ(outcome, UploadOutcome::Unsuccessful);
  EXPECT_FALSE(run.Succeeded(outcome));
  EXPECT_EQ(r.host.messages, (Messages{kLost, "Unsuccessful.  Upload terminated by user."}));
  EXPECT_FALSE(r.host.waitCursor);
}

TEST(LostLine, AnotherRunAfterTheLineIsBackStartsClean) {
  ScriptRig r;
  r.port.Unplug(kDevice);
  EXPECT_FALSE(r.Read("_TC \"^M\"\n"));
  // The operator picks a port again: a fresh open is a fresh line.
  r.port.SetOpen(false);
  r.port.SetOpen(true);
  r.progress.Cancelled = false;
  r.host.messages.clear();
  EXPECT_TRUE(r.Read("_TC \"^M\"\n_DM \"back\"\n"));
  EXPECT_EQ(r.host.messages, Messages{"back"});
}

}  // namespace
}  // namespace zarnik
