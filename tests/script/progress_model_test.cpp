// The progress model: bar, labels, board label, Stop, and what observers see.
#include "script/progress_model.h"

#include <gtest/gtest.h>

#include "platform/virtual_host.h"

namespace zarnik {
namespace {

struct Trace : ProgressObserver {
  std::vector<std::string> seen;
  void ProgressShown(const ProgressModel& m) override {
    seen.push_back("show " + m.BlockNameLabel() + " " + std::to_string(m.Max()));
  }
  void ProgressStepped(const ProgressModel& m) override {
    seen.push_back("step " + std::to_string(m.Position()));
  }
  void ProgressHidden(const ProgressModel& m) override {
    seen.push_back("hide " + std::to_string(m.Position()));
  }
  void StopPressed(const ProgressModel&) override { seen.push_back("stop"); }
};

TEST(ProgressModel, BarMaximumIsTheBlockCountOrOne) {
  VirtualHost host;
  ProgressModel m(host);
  Trace t;
  m.AddObserver(&t);
  m.ShowProgressForm(0, {"small.bin", 0x126, "8000", 3});
  m.StepIt();
  EXPECT_EQ(m.Position(), m.Max());  // a file under one block fills the bar in one step
  m.HideProgressForm();
  m.ShowProgressForm(2, {"big.bin", 0, "0", 4001});  // three steps: the bar stays full
  m.StepIt();
  m.StepIt();
  m.StepIt();
  m.HideProgressForm();
  EXPECT_EQ(t.seen, (std::vector<std::string>{"show small.bin 1", "step 1", "hide 0",
                                              "show big.bin 2", "step 1", "step 2", "step 2",
                                              "hide 0"}));
  EXPECT_FALSE(m.Visible());
}

TEST(ProgressModel, LabelsShowChecksumInUpperHexAndSizeInDecimal) {
  VirtualHost host;
  ProgressModel m(host);
  m.ShowProgressForm(35, {"fw/app.bin", 0x00A5, "C000", 70000});
  EXPECT_TRUE(m.Visible());
  EXPECT_EQ(m.BlockNameLabel(), "fw/app.bin");
  EXPECT_EQ(m.ChecksumLabel(), "A5");
  EXPECT_EQ(m.LoadAddressLabel(), "C000");
  EXPECT_EQ(m.FileSizeLabel(), "70000");
  m.ShowPciBoardLabel(3);
  EXPECT_EQ(m.PCINumberLabel(), "PCI Board :  3");
  EXPECT_TRUE(m.PCINumberVisible());
  m.HidePciBoardLabel();
  EXPECT_FALSE(m.PCINumberVisible());
}

TEST(ProgressModel, StopSetsCancelledAndTwiceIsLikeOnce) {
  VirtualHost host;
  ProgressModel m(host);
  Trace t;
  m.AddObserver(&t);
  m.Stop();
  m.CancelButtonClick();
  EXPECT_TRUE(m.Cancelled);
  m.RemoveObserver(&t);
  m.Stop();
  EXPECT_EQ(t.seen.size(), 2u);
}

}  // namespace
}  // namespace zarnik
