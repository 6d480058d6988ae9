// What the station's operator sees, rendered from the ports' states.
#include "cli/station_screen.h"

#include <gtest/gtest.h>

namespace zarnik {
namespace {

using Kind = StationPortState::Kind;

StationPortState Port(std::string name, Kind kind, std::string text = "", std::string file = "",
                      std::string bar = "") {
  StationPortState p;
  p.name = std::move(name);
  p.kind = kind;
  p.text = std::move(text);
  p.file = std::move(file);
  p.bar = std::move(bar);
  return p;
}

TEST(StationScreen, EachStateAsTheOperatorReadsIt) {
  const std::string bar = "[########............] 42/100 blocks  4200/10000 bytes  11.5 kB/s  0:31 left";
  const struct {
    StationPortState port;
    bool colour;
    std::string text;
  } cases[] = {
      {Port("a", Kind::kWaiting), false, "waiting for a unit"},
      {Port("a", Kind::kLoading), false, "loading"},
      {Port("a", Kind::kLoading, "", "main-app.bin"), false, "loading main-app.bin"},
      {Port("a", Kind::kLoading, "", "main-app.bin", bar), false,
       "loading main-app.bin  42%  11.5 kB/s  0:31 left"},
      {Port("a", Kind::kLoading, "", "x.bin", "[..] 0/0 blocks  0/0 bytes  -  -:-- left"), false,
       "loading x.bin  100%  -  -:-- left"},
      {Port("a", Kind::kLoading, "", "x.bin", "something else"), false, "loading x.bin  something else"},
      {Port("a", Kind::kPass, "SN ZK-004711"), false, "PASS  SN ZK-004711  disconnect the unit"},
      {Port("a", Kind::kPass), false, "PASS  disconnect the unit"},
      {Port("a", Kind::kPass, "SN 1"), true, "\x1b[1;32mPASS\x1b[0m  SN 1  disconnect the unit"},
      {Port("a", Kind::kFail, "Error! Unable to receive prompt"), false,
       "FAIL  Error! Unable to receive prompt"},
      {Port("a", Kind::kFail, "Error! x"), true, "\x1b[1;31mFAIL\x1b[0m  Error! x"},
      {Port("a", Kind::kGone), false, "gone"},
  };
  for (const auto& c : cases) EXPECT_EQ(StationStateText(c.port, c.colour), c.text);
}

TEST(StationScreen, TheCountHeadsPortLinesWithTheirStatesAligned) {
  const std::string screen =
      StationScreen({Port("ttyUSB0", Kind::kWaiting), Port("COM3", Kind::kFail, "Error! x")},
                    StationCount(12, 1, "08:02"), false);
  EXPECT_EQ(screen,
            "12 passed, 1 failed since 08:02\n"
            "ttyUSB0  waiting for a unit\n"
            "COM3     FAIL  Error! x\n");
}

}  // namespace
}  // namespace zarnik
