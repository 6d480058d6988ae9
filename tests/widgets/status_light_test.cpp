// The lamps and their controller over a real port on a simulated null modem: RXD and
// TXD flash with the data, CTS and DCD follow the lines, the program's own handlers
// still see every event, and monitoring survives a close and an open.
#include "widgets/status_light.h"

#include <QElapsedTimer>
#include <QtTest>
#include <vector>

#include "gui/gui_test_classes.h"
#include "widget_rig.h"

namespace zarnik {

class StatusLightTest : public QObject {
  Q_OBJECT

  struct Rig : PortRig {
    QWidget parent;
    TStatusLight cts{&parent}, dcd{&parent}, rxd{&parent}, txd{&parent};
    TSLController controller;
    // The program's own data handler: reads what it is told of.
    std::string received;
    int availEvents = 0;
    bool rxdLitInHandler = true;
    Rig() {
      controller.Lights.CTSLight = &cts;
      controller.Lights.DCDLight = &dcd;
      controller.Lights.RXDLight = &rxd;
      controller.Lights.TXDLight = &txd;
      port.OnTriggerAvail = [this](PortContract& p, uint16_t count) { OwnHandler(p, count); };
      controller.SetComPort(&port);
    }
    ~Rig() { controller.SetComPort(nullptr); }
    void OwnHandler(PortContract& p, uint16_t count) {
      ++availEvents;
      rxdLitInHandler = rxdLitInHandler && rxd.Lit();
      std::string block(count, '\0');
      p.GetBlock(block.data(), count);
      received += block;
    }
  };

 private slots:
  void lampDefaultsAndPainting() {
    TStatusLight lamp;
    QCOMPARE(lamp.size(), QSize(13, 13));
    QVERIFY(!lamp.Lit());
    QCOMPARE(lamp.LitColor(), TColor(0x0000FF));
    QCOMPARE(lamp.NotLitColor(), TColor(0x008000));
    lamp.resize(10, 10);
    QImage off = lamp.grab().toImage();
    QCOMPARE(off.pixelColor(5, 5), QColor(0, 128, 0));
    QCOMPARE(off.pixelColor(5, 0), QColor(Qt::white));  // top edge
    QCOMPARE(off.pixelColor(0, 5), QColor(Qt::white));  // left edge
    QCOMPARE(off.pixelColor(9, 5), QColor(128, 128, 128));  // right edge
    QCOMPARE(off.pixelColor(5, 9), QColor(128, 128, 128));  // bottom edge
    lamp.SetLit(true);
    QCOMPARE(lamp.grab().toImage().pixelColor(5, 5), QColor(255, 0, 0));
  }

  void glyphHalves_data() {
    QTest::addColumn<bool>("lit");
    QTest::addColumn<QColor>("centre");
    QTest::newRow("lit: left half") << true << QColor(Qt::yellow);
    QTest::newRow("unlit: right half") << false << QColor(Qt::blue);
  }
  void glyphHalves() {
    QFETCH(bool, lit);
    QFETCH(QColor, centre);
    QWidget parent;
    parent.setStyleSheet("background: rgb(10, 20, 30)");
    QPalette pal = parent.palette();
    pal.setColor(QPalette::Window, QColor(10, 20, 30));
    parent.setPalette(pal);
    TStatusLight lamp(&parent);
    lamp.resize(10, 10);
    QImage glyph(20, 10, QImage::Format_RGB32);
    glyph.fill(Qt::magenta);  // the top-left colour: transparent
    for (int y = 3; y < 7; ++y)
      for (int x = 3; x < 7; ++x) {
        glyph.setPixelColor(x, y, Qt::yellow);
        glyph.setPixelColor(x + 10, y, Qt::blue);
      }
    lamp.SetGlyph(glyph);
    lamp.SetLit(lit);
    const QImage shot = lamp.grab().toImage();
    QCOMPARE(shot.pixelColor(5, 5), centre);
    QCOMPARE(shot.pixelColor(0, 0), QColor(10, 20, 30));
  }

  void monitoringNeedsAPort() {
    TSLController controller;
    try {
      controller.SetMonitoring(true);
      QFAIL("no exception");
    } catch (const EPortNotAssigned& e) {
      QCOMPARE(e.ErrorCode(), -1005);
    }
  }

  void switchingOnWhileClosedWaitsForTheOpen() {
    Rig rig;
    rig.controller.SetMonitoring(true);
    QVERIFY(!rig.controller.Monitoring());
    rig.port.SetOpen(true);
    QVERIFY(rig.controller.Monitoring());
    QCOMPARE(rig.controller.ModemMask(), uint16_t(0x90));
    rig.controller.SetMonitoring(true);  // again: no further effect
    rig.modem->PeerWrite("x");
    QVERIFY(QTest::qWaitFor([&] { return rig.received == "x"; }, 5000));
    QCOMPARE(rig.availEvents, 1);
  }

  void rxdLitForAtLeastATickAndOffWhenTheInputIsEmpty() {
    Rig rig;
    rig.port.SetOpen(true);
    QElapsedTimer clock;
    qint64 litAt = -1, offAt = -1;
    bool emptyAtOff = false;
    auto own = rig.port.OnTriggerAvail.Handler();
    rig.port.OnTriggerAvail = [&](PortContract& p, uint16_t count) {
      if (litAt < 0 && rig.rxd.Lit()) litAt = clock.elapsed();
      own(p, count);
    };
    // The timer chain: the controller runs first, then what it found in place.
    rig.port.OnTriggerTimer = [&](TCustomComPort& p, uint16_t) {
      if (offAt < 0 && litAt >= 0 && !rig.rxd.Lit()) {
        offAt = clock.elapsed();
        emptyAtOff = p.InBuffUsed() == 0;
      }
    };
    rig.controller.SetMonitoring(true);
    clock.start();
    rig.modem->PeerWrite("ping");
    QVERIFY(QTest::qWaitFor([&] { return offAt >= 0; }, 5000));
    QVERIFY(litAt >= 0);
    QVERIFY2(offAt - litAt >= 50, qPrintable(QString::number(offAt - litAt)));
    QVERIFY(emptyAtOff);
    QVERIFY(rig.rxdLitInHandler);
    QCOMPARE(rig.received, std::string("ping"));
  }

  void ownHandlerSeesEveryEvent() {
    Rig rig;
    rig.port.SetOpen(true);
    rig.controller.SetMonitoring(true);
    std::string sent;
    for (int i = 0; i < 20; ++i) {
      const std::string chunk = "chunk" + std::to_string(i) + ";";
      sent += chunk;
      rig.modem->PeerWrite(chunk);
      QVERIFY(QTest::qWaitFor([&] { return rig.received.size() == sent.size(); }, 5000));
    }
    QCOMPARE(rig.received, sent);
    QVERIFY(rig.availEvents >= 20);
    QVERIFY(rig.rxdLitInHandler);  // the lamp is handled before the program's handler runs
  }

  void txdOffWhenTheOutputHasGone() {
    Rig rig;
    rig.modem->SetPacing(true);
    rig.port.SetOpen(true);
    bool sawLit = false, emptyAtOff = false;
    rig.port.OnTriggerTimer = [&](TCustomComPort& p, uint16_t) {
      if (sawLit && !rig.txd.Lit() && !emptyAtOff) emptyAtOff = p.GetOutBuffUsed() == 0;
    };
    rig.controller.SetMonitoring(true);
    rig.port.PutString(std::string(300, 'u'));  // about 80 ms at 38400 baud
    QVERIFY(QTest::qWaitFor([&] { return sawLit = sawLit || rig.txd.Lit(); }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return !rig.txd.Lit(); }, 5000));
    QVERIFY(emptyAtOff);
    QCOMPARE(rig.PeerRead(300).size(), size_t(300));
  }

  void linesFollowed_data() {
    QTest::addColumn<QString>("line");
    QTest::newRow("CTS") << "CTS";
    QTest::newRow("DCD") << "DCD";
  }
  void linesFollowed() {
    QFETCH(QString, line);
    Rig rig;
    rig.port.SetOpen(true);
    rig.controller.SetMonitoring(true);
    TStatusLight& lamp = line == "CTS" ? rig.cts : rig.dcd;
    auto set = [&](bool on) {
      if (line == "CTS")
        rig.modem->SetCts(on);
      else
        rig.modem->SetDcd(on);
    };
    QVERIFY(lamp.Lit());  // both start asserted
    set(false);
    QVERIFY(QTest::qWaitFor([&] { return !lamp.Lit(); }, 5000));
    set(true);
    QVERIFY(QTest::qWaitFor([&] { return lamp.Lit(); }, 5000));
  }

  void closeAndOpenRestoresHandlersThenMonitorsAgain() {
    Rig rig;
    rig.port.SetOpen(true);
    rig.controller.SetMonitoring(true);
    rig.port.SetOpen(false);
    QVERIFY(!rig.controller.Monitoring());
    QVERIFY(!rig.rxd.Lit());
    QVERIFY(!rig.cts.Lit());
    // The program's own handler is back in the port.
    rig.port.SetOpen(true);
    QVERIFY(rig.controller.Monitoring());
    QVERIFY(rig.cts.Lit());
    rig.modem->PeerWrite("again");
    QVERIFY(QTest::qWaitFor([&] { return rig.rxd.Lit(); }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return rig.received == "again"; }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return !rig.rxd.Lit(); }, 5000));
    // Several rounds leave no triggers of old rounds behind to fire twice.
    for (int i = 0; i < 3; ++i) {
      rig.port.SetOpen(false);
      rig.port.SetOpen(true);
    }
    const int before = rig.availEvents;
    rig.modem->PeerWrite("z");
    QVERIFY(QTest::qWaitFor([&] { return rig.received == "againz"; }, 5000));
    QCOMPARE(rig.availEvents, before + 1);
  }

  void switchingOffGivesTheHandlersBack() {
    Rig rig;
    rig.port.SetOpen(true);
    rig.controller.SetMonitoring(true);
    rig.controller.SetMonitoring(false);
    QVERIFY(!rig.cts.Lit());
    rig.modem->PeerWrite("q");
    QVERIFY(QTest::qWaitFor([&] { return rig.received == "q"; }, 5000));
    QVERIFY(!rig.rxd.Lit());
  }
};

static RegisterGuiTest<StatusLightTest> registerStatusLightTest;

}  // namespace zarnik

#include "status_light_test.moc"
