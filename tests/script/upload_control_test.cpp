// Starting a run as the operator's pick does, once or once per PCI board, and its outcome.
#include <gtest/gtest.h>

#include <memory>

#include "script/run_outcome.h"
#include "script_rig.h"

namespace zarnik {
namespace {

using testing::FakeBoard;
using testing::ScriptRig;
using Messages = std::vector<std::string>;

TEST(UploadControl, OutcomeOfARun) {
  struct Case {
    const char* name;
    std::string script;
    bool unitAbsent;
    UploadOutcome outcome;
    Messages shown;
    int rowsUsed;
  } cases[] = {
      {"message only",
       "_DM \"hello\"\n",
       false,
       UploadOutcome::Complete,
       {"hello", "Upload Complete."},
       1},
      {"no unit",
       "_TC \"^M\"\n",
       true,
       UploadOutcome::Unsuccessful,
       {"Error! Unable to get response from unit(_TC)! Exiting script",
        "Unsuccessful.  Upload terminated by user."},
       0},
  };
  for (const auto& c : cases) {
    sim::SimUnitOptions o;
    o.absent = c.unitAbsent;
    ScriptRig r(o);
    r.progress.Cancelled = true;  // left over from an earlier run: the pick clears it
    r.engine.ScriptRow = 7;       // rows left by an earlier reading
    r.engine.ScriptLines[7][0] = '_';
    std::string path = r.files.Write("run.sld", c.script);
    EXPECT_EQ(r.engine.RunScript(path), c.outcome) << c.name;
    EXPECT_EQ(r.host.messages, c.shown) << c.name;
    EXPECT_EQ(r.engine.ScriptRow, c.rowsUsed) << c.name;
    EXPECT_EQ(r.engine.ScriptLines[7][0], '\0') << c.name;
    EXPECT_FALSE(r.host.waitCursor);
    EXPECT_TRUE(r.host.scriptButtonsEnabled);
  }
}

TEST(UploadControl, UnreadableScriptIsToldApart) {
  ScriptRig r;
  std::string path = r.files.Path("none.sld");
  EXPECT_EQ(r.engine.RunScript(path), UploadOutcome::ScriptUnreadable);
  EXPECT_EQ(r.host.messages, (Messages{"Error opening file " + path + " for read.",
                                       "Unsuccessful.  Upload terminated by user."}));
}

// The exit status rule: "Upload Complete." alone is not success when an error was
// shown on the way (a file that could not be named skips its chain silently after).
TEST(RunOutcome, SuccessNeedsTheCompleteOutcomeAndNoErrorShown) {
  struct Case {
    const char* name;
    std::string script;
    UploadOutcome outcome;
    bool succeeded;
  } cases[] = {
      {"message only", "_DM \"hello\"\n", UploadOutcome::Complete, true},
      {"file missing", "_LF /nonexistent/fw.bin\n_LA 8000\n_LV V1\n_LD\n_DM \"done\"\n",
       UploadOutcome::Complete, false},
      {"test with nothing after it", "_CS \"\"\n", UploadOutcome::Complete, false},
      // Would be read without end.
      {"file is a device", "_LF /dev/zero\n_LA 8000\n_LV V1\n_LD\n", UploadOutcome::Complete,
       false},
      {"no unit", "_TC \"^M\"\n", UploadOutcome::Unsuccessful, false},
  };
  for (const auto& c : cases) {
    sim::SimUnitOptions o;
    o.absent = true;
    ScriptRig r(o);
    // Shown before the run, so it does not count.
    r.host.ShowMessage("Error! Baud Rate set in INI file is invalid!");
    RunOutcome run(r.host);
    UploadOutcome outcome = r.engine.RunScript(r.files.Write("run.sld", c.script));
    EXPECT_EQ(outcome, c.outcome) << c.name;
    EXPECT_EQ(run.Succeeded(outcome), c.succeeded) << c.name;
  }
}

// Automatic mode reads the script itself: no outcome box, Cancelled not cleared.
TEST(RunOutcome, AutomaticModeRunThroughReadIni) {
  ScriptRig r;
  {
    RunOutcome run(r.host);
    EXPECT_TRUE(run.Succeeded(r.Read("_DM \"hello\"\n"), r.progress.Cancelled));
  }
  {
    RunOutcome run(r.host);
    EXPECT_FALSE(run.Succeeded(r.Read("_LF /nonexistent/fw.bin\n"), r.progress.Cancelled));
  }
  {
    r.progress.Cancelled = true;
    RunOutcome run(r.host);
    bool read = r.Read("_DM \"hello\"\n");
    EXPECT_TRUE(read);
    EXPECT_FALSE(run.Succeeded(read, r.progress.Cancelled));
  }
  // A finished watch no longer hears the host.
  r.host.ShowMessage("Error! after the run");
}

// Two PCI boards, IDs 2 and 5, each with a unit of its own behind its mailbox.
struct PciRig : ScriptRig {
  PciRig() {
    ch.LinkMode = kLinkPci;
    boards.fill(-1);
    boards[2] = 0;
    boards[5] = 1;
    for (int i = 0; i < 2; ++i) {
      units.push_back(std::make_unique<sim::SimUnit>());
      cards.push_back(std::make_unique<FakeBoard>(host, *units.back()));
    }
  }
  UploadOutcome Run(const std::string& script) {
    std::string path = files.Write("pci.sld", script);
    return engine.RunScript(path, boards, [this](int id, int index) {
      selected.push_back(id);
      ch.SetBoard(cards[index].get());
    });
  }
  BoardIndexTable boards;
  std::vector<std::unique_ptr<sim::SimUnit>> units;
  std::vector<std::unique_ptr<FakeBoard>> cards;
  std::vector<int> selected;
};

TEST(UploadControl, PciRunsTheScriptOncePerBoardInIdOrder) {
  PciRig r;
  std::vector<int> boardInRun;
  r.host.onMessage = [&](const std::string& m) {
    if (m == "board") boardInRun.push_back(r.engine.SelectedBoard);
  };
  std::string path = r.files.Write("fw.bin", "abc");
  EXPECT_EQ(r.Run("_TC \"^M\"\n" + std::string("_LF ") + path +
                  "\n_LA 8000\n_LV V1\n_LD\n_DM \"board\"\n"),
            UploadOutcome::Complete);
  EXPECT_EQ(r.selected, (std::vector<int>{2, 5}));
  EXPECT_EQ(boardInRun, (std::vector<int>{2, 5}));
  EXPECT_EQ(r.progress.PCINumberLabel(), "PCI Board :  5");
  EXPECT_TRUE(r.progress.PCINumberVisible());
  for (auto& unit : r.units) {
    ASSERT_EQ(unit->Images().size(), 1u);
    EXPECT_TRUE(unit->Images()[0].ok);
  }
  EXPECT_EQ(r.host.messages.back(), "Upload Complete.");
  EXPECT_EQ(std::count(r.host.messages.begin(), r.host.messages.end(), "Upload Complete."), 1);
}

TEST(UploadControl, StopOnTheFirstBoardEndsTheSecondBeforeItSendsAnything) {
  PciRig r;
  struct StopAtFirstStep : ProgressObserver {
    ProgressModel* m;
    void ProgressStepped(const ProgressModel&) override { m->Stop(); }
  } stopper;
  stopper.m = &r.progress;
  r.progress.AddObserver(&stopper);
  std::string path = r.files.Write("fw.bin", std::string(5000, 'z'));
  EXPECT_EQ(r.Run("_TC \"^M\"\n_LF " + path + "\n_LA 8000\n_LV V1\n_LD\n"),
            UploadOutcome::Unsuccessful);
  EXPECT_EQ(r.units[0]->Images()[0].data.size(), 5000u);
  EXPECT_TRUE(r.cards[1]->sent.empty());
  EXPECT_EQ(r.host.messages, Messages{"Unsuccessful.  Upload terminated by user."});
}

}  // namespace
}  // namespace zarnik
