#include "terminal/terminal_emulator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zarnik {
namespace {

struct FakeSite : TTerminalSite {
  TColor color = clBlack;
  TColor fontColor = clSilver;
  bool halfDuplex = false;
  std::string sent;
  int bells = 0;
  TColor Color() const override { return color; }
  TColor FontColor() const override { return fontColor; }
  bool HalfDuplex() const override { return halfDuplex; }
  void SendToPort(uint8_t ch) override { sent += static_cast<char>(ch); }
  void Bell() override { ++bells; }
};

struct RecordingPainter : TTerminalPainter {
  std::vector<TPaintRun> runs;
  std::vector<std::string> texts;  // the runs' texts outlive the painted rows
  void DrawRun(const TPaintRun& run) override {
    runs.push_back(run);
    texts.emplace_back(run.text);
  }
};

const TPaintArea kScreen{1, 16, 1, 80};

class TeletypeTest : public testing::Test {
 protected:
  TeletypeTest() {
    emu.Buffer().tbSetRowCount(16);
    emu.teSetTerminal(&site);
  }
  TTTYEmulator emu;
  FakeSite site;
};

TEST_F(TeletypeTest, BellRingsThroughThePane) {
  emu.ProcessText("a\ab\a", csPort);
  EXPECT_EQ(site.bells, 2);
}

TEST_F(TeletypeTest, TypedBackspaceGoesOutAsDel) {
  emu.KeyPress('a');
  emu.KeyPress(8);
  EXPECT_EQ(site.sent, "a\x7f");
  EXPECT_EQ(emu.Buffer().RowText(1)[0], ' ');  // full duplex: no echo
}

TEST_F(TeletypeTest, HalfDuplexEchoesTypedCharacters) {
  site.halfDuplex = true;
  emu.KeyPress('h');
  emu.KeyPress('\r');
  emu.KeyPress('i');
  EXPECT_EQ(site.sent, "h\ri");
  EXPECT_EQ(emu.Buffer().RowText(1).substr(0, 1), "i");
}

TEST_F(TeletypeTest, WithoutAPaneTypedCharactersGoNowhere) {
  emu.teSetTerminal(nullptr);
  emu.KeyPress('a');
  emu.ProcessText("\a", csPort);
  EXPECT_EQ(site.sent, "");
  EXPECT_EQ(site.bells, 0);
}

TEST_F(TeletypeTest, ProcessCharHookMayRewriteAndAddCommands) {
  std::vector<TCharSource> sources;
  emu.SetOnProcessChar(
      [&](uint8_t ch, TCharSource src, std::vector<TEmuCommand>& cmds, std::string& text) {
        sources.push_back(src);
        if (ch == '*') text = "<>";
        if (ch == '!') {
          cmds.push_back(ecCR);
          text.clear();
        }
      });
  emu.ProcessText("ab*!c\x01", csWriteChar);
  EXPECT_EQ(emu.Buffer().RowText(1).substr(0, 6), "cb<>  ");
  EXPECT_EQ(sources.size(), 6u);
  EXPECT_EQ(sources[0], csWriteChar);
}

TEST_F(TeletypeTest, ClearAndClearAll) {
  for (int i = 0; i < 20; ++i) emu.ProcessText("row\r\n", csPort);
  emu.teClear();
  EXPECT_EQ(emu.Buffer().RowText(0).substr(0, 3), "row");
  emu.teClearAll();
  EXPECT_EQ(emu.Buffer().RowText(0).substr(0, 3), "   ");
}

// ---- Painting ----

TEST_F(TeletypeTest, PaintSplitsRowsIntoRunsOfEqualLook) {
  TTerminalBuffer& b = emu.Buffer();
  b.WriteString("ab");
  b.SetAttributes(tcaBold);
  b.WriteString("c");
  b.SetAttributes(0);
  b.SetForeColor(0x0000FF);
  b.WriteString("de");
  RecordingPainter p;
  emu.Paint(p, TPaintArea{1, 1, 1, 10});
  ASSERT_EQ(p.runs.size(), 4u);
  EXPECT_EQ(p.texts, (std::vector<std::string>{"ab", "c", "de", "     "}));
  EXPECT_EQ(p.runs[1].column, 3);
  EXPECT_EQ(p.runs[1].fore, 0xFFFFFFu);  // bold: +128 per part, capped
  EXPECT_EQ(p.runs[2].fore, 0x0000FFu);
  EXPECT_EQ(p.runs[3].column, 6);
  EXPECT_FALSE(emu.teGetNeedsUpdate());
}

struct AttrCase {
  TTerminalCharAttrs attrs;
  bool selected;
  TColor fore;
  TColor back;
  bool underline;
  bool strike;
};

class AttributeRuleTest : public TeletypeTest, public testing::WithParamInterface<AttrCase> {};

TEST_P(AttributeRuleTest, ResolvedColours) {
  const AttrCase& c = GetParam();
  TTerminalBuffer& b = emu.Buffer();
  b.SetForeColor(0x102030);
  b.SetBackColor(0x000080);
  b.SetAttributes(c.attrs);
  b.WriteString("x");
  if (c.selected) b.Select(1, 1, 1, 1);
  RecordingPainter p;
  emu.Paint(p, TPaintArea{1, 1, 1, 1});
  ASSERT_EQ(p.runs.size(), 1u);
  EXPECT_EQ(p.runs[0].fore, c.fore);
  EXPECT_EQ(p.runs[0].back, c.back);
  EXPECT_EQ(p.runs[0].underline, c.underline);
  EXPECT_EQ(p.runs[0].strikethrough, c.strike);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AttributeRuleTest,
    testing::Values(AttrCase{0, false, 0x102030, 0x000080, false, false},
                    AttrCase{tcaReverse, false, 0x000080, 0x102030, false, false},
                    AttrCase{0, true, 0x000080, 0x102030, false, false},           // selected
                    AttrCase{tcaReverse, true, 0x102030, 0x000080, false, false},  // both cancel
                    AttrCase{tcaBold, false, 0x90A0B0, 0x000080, false, false},
                    AttrCase{tcaInvisible, false, 0x000080, 0x000080, false, false},
                    AttrCase{tcaInvisible | tcaBold, false, 0x000080, 0x000080, false, false},
                    AttrCase{tcaUnderline | tcaStrikethrough, false, 0x102030, 0x000080, true,
                             true},
                    AttrCase{tcaBlink, false, 0x102030, 0x000080, false, false}));

TEST_F(TeletypeTest, LazyPaintDrawsOnlyChangedCells) {
  RecordingPainter p;
  emu.Paint(p, kScreen);
  p.runs.clear();
  p.texts.clear();
  emu.ProcessText("\r\n\tok", csPort);
  EXPECT_TRUE(emu.teGetNeedsUpdate());
  emu.LazyPaint(p, kScreen);
  EXPECT_EQ(p.texts, (std::vector<std::string>{"ok"}));
  EXPECT_EQ(p.runs[0].row, 2);
  EXPECT_EQ(p.runs[0].column, 9);
  EXPECT_FALSE(emu.teGetNeedsUpdate());
}

TEST_F(TeletypeTest, LazyPaintAfterAScrollRepaintsAllItShows) {
  RecordingPainter p;
  for (int i = 0; i < 16; ++i) emu.ProcessText("x\r\n", csPort);
  emu.LazyPaint(p, TPaintArea{-2, 16, 1, 80});  // a view reaching into the history
  int rows = 0;
  for (const TPaintRun& r : p.runs) rows += r.column == 1;
  EXPECT_EQ(rows, 19);
}

TEST_F(TeletypeTest, PaneColourChangeRecoloursDefaultCellsOnly) {
  TTerminalBuffer& b = emu.Buffer();
  b.WriteString("A");
  b.SetBackColor(0x00FF00);
  b.WriteString("B");
  b.SetBackColor(clBlack);
  RecordingPainter p;
  emu.Paint(p, kScreen);
  p.runs.clear();
  site.color = clBlue;
  site.fontColor = 0x00FFFF;
  emu.LazyPaint(p, kScreen);  // a colour change repaints everything
  EXPECT_EQ(b.RowBack(1)[0], clBlue);
  EXPECT_EQ(b.RowBack(1)[1], 0x00FF00u);
  EXPECT_EQ(b.RowFore(1)[0], 0x00FFFFu);
  EXPECT_EQ(b.BackColor(), clBlue);    // text written later uses the new colours
  EXPECT_EQ(p.runs.size(), 3u + 15u);  // row 1: A, B, the rest; the others whole
}

}  // namespace
}  // namespace zarnik
