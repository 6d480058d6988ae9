// The terminal pane over a real port: bytes from the far end reach the screen through
// the dispatcher thread, prompt waits keep their bytes, the pane follows the port
// through close and open, typed keys go out, selections copy, cells are drawn where
// they belong.
#include "widgets/terminal_pane.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QScrollBar>
#include <QStyleHints>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <random>

#include "gui/gui_test_classes.h"
#include "widget_rig.h"
#include "widgets/qt_terminal_font.h"

namespace zarnik {

namespace {

// The pane as the main window sets it up.
void LikeTheMainWindow(TTerminalPane& pane) {
  pane.setGeometry(16, 120, 497, 273);
  pane.SetRows(16);
  pane.SetBlinkTime(250);
  pane.SetLazyByteDelay(4);
  pane.SetLazyTimeDelay(50);
  pane.SetUseLazyDisplay(false);
  pane.SetWantAllKeys(false);
  TerminalFont font;
  pane.SetFont(font);
}

QString Row(TTerminalPane& pane, int row) {
  return QString::fromLatin1(pane.Buffer().RowText(row)).trimmed();
}

std::string Lines(int first, int last, bool endLast = true) {
  std::string s;
  for (int i = first; i <= last; ++i)
    s += "L" + std::to_string(i) + (i < last || endLast ? "\r\n" : "");
  return s;
}

// What the pane shows in the first rows of its text area.
QImage TextArea(TTerminalPane& pane, int rows) {
  const TTerminalGeometry& g = pane.Geometry();
  return pane.viewport()->grab().toImage().copy(0, 0, g.fullCols * g.cellWidth,
                                                rows * g.cellHeight);
}

// The same pictures but for the outermost pixel column of each cell, where a glyph's
// antialiased edge may reach into its neighbour only when both are drawn in one run.
bool SameInsideCells(const QImage& a, const QImage& b, int cellWidth) {
  if (a.size() != b.size()) return false;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      if (x % cellWidth != 0 && x % cellWidth != cellWidth - 1 && a.pixel(x, y) != b.pixel(x, y))
        return false;
  return true;
}

}  // namespace

class TerminalPaneTest : public QObject {
  Q_OBJECT

  struct Rig : PortRig {
    TTerminalPane pane{host};
    explicit Rig(bool open = true) {
      LikeTheMainWindow(pane);
      pane.SetComPort(&port);
      if (open) port.SetOpen(true);
      pane.show();
    }
    bool Attached() {
      return QTest::qWaitFor([&] { return pane.HandlerRegistered(); }, 5000);
    }
    bool Shows(int row, const QString& text) {
      return QTest::qWaitFor([&] { return Row(pane, row) == text; }, 5000);
    }
  };

 private slots:
  void defaults() {
    QtHost host;
    TTerminalPane pane(host);
    QVERIFY(pane.Active());
    QVERIFY(pane.AutoCopy());
    QVERIFY(pane.AutoScrollback());
    QCOMPARE(pane.BlinkTime(), 500);
    QCOMPARE(pane.BorderStyle(), bsSingle);
    QCOMPARE(pane.Capture(), cmOff);
    QCOMPARE(pane.CaptureFile(), std::string("TERMINAL.CAP"));
    QCOMPARE(pane.Columns(), 80);
    QVERIFY(pane.ComPort() == nullptr);
    QCOMPARE(pane.CursorType(), ctBlock);
    QVERIFY(pane.Emulator() == nullptr);
    QVERIFY(pane.FollowCursor());
    QVERIFY(pane.FreezeScrollBack());
    QVERIFY(!pane.HalfDuplex());
    QVERIFY(!pane.HideScrollbars());
    QCOMPARE(pane.LazyByteDelay(), 200);
    QCOMPARE(pane.LazyTimeDelay(), 100);
    QVERIFY(pane.MouseSelect());
    QVERIFY(!pane.PasteToPort());
    QVERIFY(!pane.PasteToScreen());
    QCOMPARE(pane.Rows(), 24);
    QVERIFY(!pane.Scrollback());
    QCOMPARE(pane.ScrollbackRows(), 200);
    QVERIFY(pane.UseLazyDisplay());
    QVERIFY(pane.WantAllKeys());
    QCOMPARE(pane.Color(), clBlack);
    QCOMPARE(pane.FontColor(), clSilver);
    QCOMPARE(pane.size(), QSize(300, 200));
  }

  void rangedProperties_data() {
    QTest::addColumn<QString>("property");
    QTest::addColumn<int>("given");
    QTest::addColumn<int>("kept");
    QTest::newRow("blink 0: no blinking") << "BlinkTime" << 0 << 0;
    QTest::newRow("blink negative") << "BlinkTime" << -5 << 0;
    QTest::newRow("blink raised to 250") << "BlinkTime" << 100 << 250;
    QTest::newRow("blink 600") << "BlinkTime" << 600 << 600;
    QTest::newRow("bytes 0 ignored") << "LazyByteDelay" << 0 << 200;
    QTest::newRow("bytes 1024") << "LazyByteDelay" << 1024 << 1024;
    QTest::newRow("bytes 1025 ignored") << "LazyByteDelay" << 1025 << 200;
    QTest::newRow("time 1") << "LazyTimeDelay" << 1 << 1;
    QTest::newRow("time 1001 ignored") << "LazyTimeDelay" << 1001 << 100;
  }
  void rangedProperties() {
    QFETCH(QString, property);
    QFETCH(int, given);
    QFETCH(int, kept);
    QtHost host;
    TTerminalPane pane(host);
    if (property == "BlinkTime") {
      pane.SetBlinkTime(given);
      QCOMPARE(pane.BlinkTime(), kept);
    } else if (property == "LazyByteDelay") {
      pane.SetLazyByteDelay(given);
      QCOMPARE(pane.LazyByteDelay(), kept);
    } else {
      pane.SetLazyTimeDelay(given);
      QCOMPARE(pane.LazyTimeDelay(), kept);
    }
  }

  void receivedBytesReachTheScreen_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("row1");
    QTest::addColumn<QString>("row2");
    QTest::addColumn<int>("cursorRow");
    QTest::addColumn<int>("cursorCol");
    QTest::newRow("A B CR LF C") << QByteArray("AB\r\nC") << "AB"
                                 << "C" << 2 << 2;
    QTest::newRow("backspace moves, never erases") << QByteArray("abc\b\bX") << "aXc"
                                                   << "" << 1 << 3;
    QTest::newRow("backspace at column 1") << QByteArray("\bZ") << "Z"
                                           << "" << 1 << 2;
    QTest::newRow("dropped control codes") << QByteArray(
                                                  "A\x01\x02\x0b\x0c\x0e\x1b\x1f"
                                                  "B",
                                                  10)
                                           << "AB"
                                           << "" << 1 << 3;
    QTest::newRow("tab to column 9") << QByteArray("\tX") << "X"
                                     << "" << 1 << 10;
    QTest::newRow("codes 128-255 print")
        << QByteArray("\xe9\xff") << QString::fromLatin1("\xe9\xff") << "" << 1 << 3;
  }
  void receivedBytesReachTheScreen() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, row1);
    QFETCH(QString, row2);
    QFETCH(int, cursorRow);
    QFETCH(int, cursorCol);
    Rig rig;
    QVERIFY(rig.Attached());
    rig.modem->PeerWrite(bytes.constData(), size_t(bytes.size()));
    QVERIFY(QTest::qWaitFor(
        [&] {
          return rig.pane.Buffer().CursorRow() == cursorRow &&
                 rig.pane.Buffer().CursorCol() == cursorCol;
        },
        5000));
    QCOMPARE(Row(rig.pane, 1), row1);
    QCOMPARE(Row(rig.pane, 2), row2);
  }

  void manyBlocksArriveWhole() {
    Rig rig;
    QVERIFY(rig.Attached());
    std::string sent;
    for (int i = 0; i < 300; ++i) sent += "line " + std::to_string(i) + "\r\n";
    rig.modem->PeerWrite(sent);
    QVERIFY(rig.Shows(15, "line 299"));
    QCOMPARE(Row(rig.pane, 1), QString("line 285"));
    QCOMPARE(QString::fromLatin1(rig.pane.Buffer().RowText(0)).trimmed(), QString("line 284"));
  }

  void promptOfAPromptWaitNeverReachesThePane() {
    Rig rig;
    QVERIFY(rig.Attached());
    // The answer comes while the wait runs, as it does after a command.
    QTimer::singleShot(0, [&] { rig.modem->PeerWrite("\r\nLOADER READY\r\n>"); });
    QVERIFY(rig.port.WaitForString(">", 40, true, false));
    rig.port.FlushInBuffer();  // what follows a prompt is dropped by the channel
    rig.modem->PeerWrite("after");
    QVERIFY(QTest::qWaitFor(
        [&] {
          return Row(rig.pane, 1).contains("after") || Row(rig.pane, 2).contains("after") ||
                 Row(rig.pane, 3).contains("after");
        },
        5000));
    for (int row = 1; row <= rig.pane.Rows(); ++row)
      QVERIFY2(!Row(rig.pane, row).contains('>'), qPrintable(Row(rig.pane, row)));
  }

  void closingAndReopeningReattaches() {
    Rig rig;
    QVERIFY(rig.Attached());
    rig.modem->PeerWrite("one");
    QVERIFY(rig.Shows(1, "one"));
    rig.port.SetOpen(false);
    QVERIFY(!rig.pane.HandlerRegistered());
    QVERIFY(rig.pane.AttachPending());
    rig.port.SetOpen(true);
    QVERIFY(rig.Attached());
    rig.modem->PeerWrite(" two");
    QVERIFY(QTest::qWaitFor([&] { return Row(rig.pane, 1).contains("two"); }, 5000));
  }

  void attachesWhenThePortOpensLater() {
    Rig rig(false);
    QTest::qWait(0);
    QVERIFY(!rig.pane.HandlerRegistered());
    rig.port.SetOpen(true);
    QVERIFY(rig.Attached());
    rig.modem->PeerWrite("late");
    QVERIFY(rig.Shows(1, "late"));
  }

  void typedKeysGoToThePort_data() {
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("letter") << true << int(Qt::Key_A) << "a" << QByteArray("a");
    QTest::newRow("backspace goes out as DEL")
        << true << int(Qt::Key_Backspace) << "" << QByteArray("\x7f");
    QTest::newRow("return") << true << int(Qt::Key_Return) << "" << QByteArray("\r");
    QTest::newRow("port closed: nothing") << false << int(Qt::Key_A) << "a" << QByteArray();
  }
  void typedKeysGoToThePort() {
    QFETCH(bool, open);
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(QByteArray, sent);
    Rig rig(true);
    QVERIFY(rig.Attached());
    if (!open) rig.port.SetOpen(false);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(&rig.pane, &press);
    if (open) {
      QCOMPARE(QByteArray::fromStdString(rig.PeerRead(size_t(sent.size()))), sent);
    } else {
      QVERIFY(!rig.modem->PortOpen());
      QCOMPARE(rig.modem->PeerAvailable(), size_t(0));
    }
    QCOMPARE(Row(rig.pane, 1), QString());  // nothing echoed without half duplex
  }

  void keyHandlerMaySwallowOrChange() {
    Rig rig;
    QVERIFY(rig.Attached());
    rig.pane.OnKeyPress = [](QObject*, char& key) {
      if (key == 'x') key = 0;
      if (key == 'y') key = 'z';
    };
    QTest::keyClicks(&rig.pane, "xyq");
    QCOMPARE(QByteArray::fromStdString(rig.PeerRead(2)), QByteArray("zq"));
  }

  void selectionCopiesWholeRowsWithCrLf() {
    Rig rig(false);
    rig.pane.WriteString("first line\r\nsecond\r\nthird");
    QVERIFY(rig.Shows(3, "third"));
    const TTerminalGeometry& g = rig.pane.Geometry();
    auto cell = [&](int row, int col) {
      return QPoint((col - 1) * g.cellWidth + 1, (row - 1) * g.cellHeight + 1);
    };
    QWidget* vp = rig.pane.viewport();
    QTest::mousePress(vp, Qt::LeftButton, {}, cell(1, 3));
    QTest::mouseMove(vp, cell(2, 2));
    QApplication::clipboard()->clear();
    QTest::mouseRelease(vp, Qt::LeftButton, {}, cell(2, 2));
    const QString expected = QString("first line").leftJustified(80) + "\r\n" +
                             QString("second").leftJustified(80) + "\r\n";
    QCOMPARE(QApplication::clipboard()->text(), expected);
    // Ctrl+C copies the selection again; Ctrl+Insert too.
    QApplication::clipboard()->clear();
    QTest::keyClick(&rig.pane, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), expected);
    QApplication::clipboard()->clear();
    QTest::keyClick(&rig.pane, Qt::Key_Insert, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), expected);
  }

  void escapeCancelsASelectionInProgress() {
    Rig rig(false);
    rig.pane.WriteString("abc");
    QVERIFY(rig.Shows(1, "abc"));
    QWidget* vp = rig.pane.viewport();
    QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(1, 1));
    QTest::mouseMove(vp, QPoint(rig.pane.Geometry().cellWidth * 2 + 1, 1));
    QVERIFY(rig.pane.Buffer().HasSelection());
    QTest::keyClick(&rig.pane, Qt::Key_Escape);
    QVERIFY(!rig.pane.Buffer().HasSelection());
    QVERIFY(!rig.pane.Selecting());
    QApplication::clipboard()->clear();
    QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(1, 1));
    QCOMPARE(QApplication::clipboard()->text(), QString());
  }

  // The cells sit at exact multiples of the cell width: a blank between two glyphs
  // stays blank, and a coloured background covers its cells only.
  void cellsAreDrawnAtTheirPlaces() {
    Rig rig(false);
    rig.pane.WriteString("H H");
    QVERIFY(rig.Shows(1, "H H"));
    rig.pane.SetCursorType(ctNone);  // the caret would stand in cell 4
    const TTerminalGeometry& g = rig.pane.Geometry();
    const QImage shot = rig.pane.viewport()->grab().toImage();
    auto inkIn = [&](int col) {
      int ink = 0;
      for (int y = 0; y < g.cellHeight; ++y)
        for (int x = (col - 1) * g.cellWidth; x < col * g.cellWidth; ++x)
          if (shot.pixelColor(x, y) != QColor(Qt::black)) ++ink;
      return ink;
    };
    QVERIFY(inkIn(1) > 0);
    QCOMPARE(inkIn(2), 0);
    QVERIFY(inkIn(3) > 0);
    QCOMPARE(inkIn(4), 0);
  }

  void colourChangeRecoloursDefaultCells() {
    Rig rig(false);
    rig.pane.WriteString("A");
    QVERIFY(rig.Shows(1, "A"));
    rig.pane.SetBackgroundColour(0xFF0000);  // blue
    rig.pane.SetTextColour(0xFFFFFF);
    QCOMPARE(rig.pane.Buffer().RowBack(1)[0], TColor(0xFF0000));
    QCOMPARE(rig.pane.Buffer().RowFore(1)[0], TColor(0xFFFFFF));
    const QImage shot = rig.pane.viewport()->grab().toImage();
    QCOMPARE(shot.pixelColor(shot.width() - 1, shot.height() - 1), QColor(0, 0, 255));
  }

  // 497 x 273 with a 12-pixel Courier: 80 columns do not fit, 16 rows do.
  void mainWindowGeometryAndFollowingTheCursor() {
    Rig rig(false);
    const TTerminalGeometry& g = rig.pane.Geometry();
    QTRY_VERIFY(rig.pane.horizontalScrollBar()->isVisible());
    QVERIFY(!rig.pane.verticalScrollBar()->isVisible());
    QVERIFY(g.fullCols < 80);
    QCOMPARE(g.fullRows, 16);
    rig.pane.WriteString(std::string(79, 'x'));
    QVERIFY(QTest::qWaitFor([&] { return rig.pane.Buffer().CursorCol() == 80; }, 5000));
    QCOMPARE(g.originCol, 80 - g.fullCols + 1);
    QCOMPARE(rig.pane.horizontalScrollBar()->value(), g.originCol - 1);
    rig.pane.WriteString("\r");
    QVERIFY(QTest::qWaitFor([&] { return rig.pane.Geometry().originCol == 1; }, 5000));
  }

  // The vertical bar moved five rows into the history, then one more line arrives.
  // Frozen, the bar moved the origin row and the new line brings the view back to the
  // cursor (following it); otherwise the rows stay shifted by the bar and move on with the stream.
  void freezeScrollBackDecidesWhatTheBarShifts_data() {
    QTest::addColumn<bool>("freeze");
    QTest::addColumn<int>("topAfterMore");
    QTest::addColumn<int>("firstLineAfterMore");
    // 18 rows fit beside the history: the least move that shows the cursor row.
    QTest::newRow("frozen: the view follows the cursor") << true << -1 << 25;
    QTest::newRow("not frozen: stays shifted") << false << -4 << 22;
  }
  void freezeScrollBackDecidesWhatTheBarShifts() {
    QFETCH(bool, freeze);
    QFETCH(int, topAfterMore);
    QFETCH(int, firstLineAfterMore);
    Rig rig(false);
    // The same pane showing given lines from its first row, for comparison.
    auto reference = [&](int first) {
      auto pane = std::make_unique<TTerminalPane>(rig.host);
      LikeTheMainWindow(*pane);
      pane->SetScrollback(true);
      pane->SetCursorType(ctNone);
      pane->show();
      pane->WriteString(Lines(first, first + 15, false));
      return pane;
    };
    rig.pane.SetScrollback(true);
    rig.pane.SetFreezeScrollBack(freeze);
    rig.pane.SetCursorType(ctNone);
    rig.pane.WriteString(Lines(1, 40));
    QVERIFY(rig.Shows(15, "L40"));
    QScrollBar* bar = rig.pane.verticalScrollBar();
    QCOMPARE(bar->value(), 1);
    bar->setValue(-4);
    QCOMPARE(rig.pane.Geometry().TopRow(), -4);
    QCOMPARE(rig.pane.Geometry().originRow, freeze ? -4 : 1);
    {
      auto expected = reference(21);
      QVERIFY(QTest::qWaitFor([&] { return Row(*expected, 16) == "L36"; }, 5000));
      QCOMPARE(TextArea(rig.pane, 16), TextArea(*expected, 16));
    }
    rig.pane.WriteString(Lines(41, 41));
    QVERIFY(rig.Shows(15, "L41"));
    QCOMPARE(rig.pane.Geometry().TopRow(), topAfterMore);
    QCOMPARE(bar->value(), topAfterMore);
    auto expected = reference(firstLineAfterMore);
    QVERIFY(QTest::qWaitFor(
        [&] { return Row(*expected, 16) == QString("L%1").arg(firstLineAfterMore + 15); }, 5000));
    QCOMPARE(TextArea(rig.pane, 16), TextArea(*expected, 16));
    // Freezing again brings a shifted view back to the origin row.
    rig.pane.SetFreezeScrollBack(true);
    QCOMPARE(rig.pane.Geometry().TopRow(), rig.pane.Geometry().originRow);
  }

  // The caret blinks at the platform's cursor flash time while the pane has the
  // focus, and its timer stops with the focus.
  void caretBlinksWhileFocused() {
    Rig rig(false);
    rig.pane.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&rig.pane));
    rig.pane.setFocus();
    QTRY_VERIFY(rig.pane.hasFocus());
    QVERIFY(QGuiApplication::styleHints()->cursorFlashTime() > 0);
    QVERIFY(rig.pane.CaretBlinking());
    // Row 1, column 1 is empty and black: the inverting block caret makes it white.
    auto lit = [&] { return rig.pane.viewport()->grab().toImage().pixelColor(1, 1) == Qt::white; };
    QTRY_VERIFY_WITH_TIMEOUT(lit(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!lit(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(lit(), 5000);
    rig.pane.clearFocus();
    QVERIFY(!rig.pane.CaretBlinking());
    QVERIFY(!lit());
    rig.pane.setFocus();
    QVERIFY(rig.pane.CaretBlinking());
    rig.pane.SetCursorType(ctNone);  // no caret, nothing to blink
    QVERIFY(!rig.pane.CaretBlinking());
  }

  // Nothing to do, no timer: the pane wakes only for bytes, lazy paints, a selection
  // pulled beyond it, or a caret.
  void idlePaneRunsNoTimer_data() {
    QTest::addColumn<bool>("lazy");
    QTest::newRow("painting at once") << false;
    QTest::newRow("lazy display") << true;
  }
  void idlePaneRunsNoTimer() {
    QFETCH(bool, lazy);
    Rig rig;
    QVERIFY(rig.Attached());
    rig.pane.SetUseLazyDisplay(lazy);
    rig.pane.SetCursorType(ctNone);
    QVERIFY(!rig.pane.HeartbeatRunning());
    rig.modem->PeerWrite("HH\r\n");
    QVERIFY(rig.Shows(1, "HH"));
    QCOMPARE(rig.pane.HeartbeatRunning(), lazy);  // lazy display paints from the heartbeat
    // The text is painted without anything else happening, then everything stops.
    const int cell = rig.pane.Geometry().cellWidth;
    auto inked = [&] {
      const QImage shot = rig.pane.viewport()->grab().toImage();
      for (int y = 0; y < rig.pane.Geometry().cellHeight; ++y)
        for (int x = 0; x < cell; ++x)
          if (shot.pixelColor(x, y) != QColor(Qt::black)) return true;
      return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!rig.pane.FramePending() && !rig.pane.HeartbeatRunning(), 5000);
    QVERIFY(inked());
    QVERIFY(!rig.pane.CaretBlinking());
  }

  // Keys other than characters do nothing: no scrolling, no scrollback switched on.
  void navigationKeysDoNothing_data() {
    QTest::addColumn<int>("key");
    for (auto [name, key] : {std::pair{"Up", Qt::Key_Up},
                             {"Down", Qt::Key_Down},
                             {"Left", Qt::Key_Left},
                             {"Right", Qt::Key_Right},
                             {"PageUp", Qt::Key_PageUp},
                             {"PageDown", Qt::Key_PageDown},
                             {"Home", Qt::Key_Home},
                             {"End", Qt::Key_End}})
      QTest::newRow(name) << int(key);
  }
  void navigationKeysDoNothing() {
    QFETCH(int, key);
    Rig rig;
    QVERIFY(rig.Attached());
    rig.pane.resize(497, 150);  // fewer rows than the screen's: a vertical bar
    rig.pane.WriteString(std::string(79, 'x') + "\r\n\r\n" + std::string(79, 'y'));
    QVERIFY(QTest::qWaitFor([&] { return rig.pane.Buffer().CursorRow() == 3; }, 5000));
    const TTerminalGeometry before = rig.pane.Geometry();
    QVERIFY(before.originCol > 1);
    QTest::keyClick(&rig.pane, Qt::Key(key));
    QTest::qWait(0);
    const TTerminalGeometry& after = rig.pane.Geometry();
    QCOMPARE(after.originCol, before.originCol);
    QCOMPARE(after.TopRow(), before.TopRow());
    QVERIFY(!rig.pane.Scrollback());
    QCOMPARE(rig.modem->PeerAvailable(), size_t(0));
  }

  // Received 0x80-0x9F show in Windows-1252 (the five unassigned codes visibly), and
  // copy to the clipboard so.
  void highBytesShowAsAnsi() {
    Rig rig(false);
    rig.pane.WriteString("\x80\x93\x81\xe9");
    QVERIFY(QTest::qWaitFor([&] { return rig.pane.Buffer().CursorCol() == 5; }, 5000));
    const QRawFont& raw = rig.pane.RawFont();
    QVERIFY(raw.isValid());
    QCOMPARE(rig.pane.GlyphOf(0x80), raw.glyphIndexesForString(QString(QChar(0x20AC))).value(0));
    QCOMPARE(rig.pane.GlyphOf(0x93), raw.glyphIndexesForString(QString(QChar(0x201C))).value(0));
    for (int b = 0x80; b <= 0xFF; ++b)
      QVERIFY2(rig.pane.GlyphOf(uint8_t(b)) != 0, qPrintable(QString::number(b, 16)));
    rig.pane.Buffer().Select(1, 1, 1, 4);
    QApplication::clipboard()->clear();
    rig.pane.CopyToClipboard();
    QVERIFY(QApplication::clipboard()->text().startsWith(
        QString::fromUtf16(u"\u20AC\u201C\uFFFD\u00E9")));
  }

  // A fixed-pitch font gives cells of its own character width, whatever fallback
  // fonts the machine has for the characters it lacks (U+FFFD shows as '?').
  void fixedPitchCellsAreTheFontsOwnWidth() {
    Rig rig(false);
    int tried = 0;
    for (const QString& family : QFontDatabase::families()) {
      if (!QFontDatabase::isFixedPitch(family)) continue;
      TerminalFont font;
      font.Name = family.toStdString();
      rig.pane.SetFont(font);
      const QRawFont& raw = rig.pane.RawFont();
      if (!raw.isValid() || QFontInfo(rig.pane.Font()).family() != family) continue;
      const int own = qRound(raw.advancesForGlyphIndexes({rig.pane.GlyphOf('M')}).value(0).x());
      QVERIFY2(rig.pane.Geometry().cellWidth == own, qPrintable(family));
      ++tried;
    }
    QVERIFY(tried > 0);
  }

  // What the pane paints bit by bit as a stream goes on is what a full repaint of the
  // same moment paints: lines longer than the pane move the view right and back.
  void incrementalPaintingMatchesAFullRepaint_data() {
    QTest::addColumn<uint>("seed");
    for (uint seed : {1u, 2u, 3u}) QTest::newRow(qPrintable(QString("seed %1").arg(seed))) << seed;
  }
  void incrementalPaintingMatchesAFullRepaint() {
    QFETCH(uint, seed);
    Rig rig(false);
    rig.pane.SetCursorType(ctNone);
    std::mt19937 gen(seed);
    uint64_t total = rig.pane.Counters().bytes;
    for (int chunk = 0; chunk < 40; ++chunk) {
      std::string text;
      switch (gen() % 4) {
        case 0:
          text = "\r";
          break;
        case 1:
          text = "\r\n";
          break;
        default:
          for (int n = int(gen() % 90) + 1; n > 0; --n) text.push_back(char('!' + gen() % 94));
      }
      rig.pane.WriteString(text);
      total += text.size();
      QVERIFY(QTest::qWaitFor([&] { return rig.pane.Counters().bytes == total; }, 5000));
      const QImage incremental = rig.pane.viewport()->grab().toImage();
      rig.pane.SetFont(rig.pane.Font());  // every cell painted anew
      const QImage full = rig.pane.viewport()->grab().toImage();
      QVERIFY2(
          SameInsideCells(incremental, full, rig.pane.Geometry().cellWidth),
          qPrintable(
              QString("chunk %1, origin column %2").arg(chunk).arg(rig.pane.Geometry().originCol)));
    }
  }

  void clearAllEmptiesHistoryToo() {
    Rig rig(false);
    std::string text;
    for (int i = 0; i < 20; ++i) text += "row " + std::to_string(i) + "\r\n";
    rig.pane.WriteString(text);
    QVERIFY(rig.Shows(15, "row 19"));
    rig.pane.ClearAll();
    QCOMPARE(rig.pane.Buffer().CursorRow(), 1);
    QCOMPARE(rig.pane.Buffer().CursorCol(), 1);
    for (int row = 1 - rig.pane.Buffer().HistoryRowCount(); row <= 16; ++row)
      QCOMPARE(Row(rig.pane, row), QString());
  }
};

static RegisterGuiTest<TerminalPaneTest> registerTerminalPaneTest;

}  // namespace zarnik

#include "terminal_pane_test.moc"
