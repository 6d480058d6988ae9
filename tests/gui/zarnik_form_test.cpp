// The main window: places, menus and their handlers, the buttons through a run,
// the close query during a transfer and automatic mode's end, against the
// simulated unit on a pty (COM1) and a COM2 that does not exist.
#include "gui/zarnik_form.h"

#include <stdlib.h>

#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <optional>

#include "gui/progress_form.h"
#include "gui/qt_host.h"
#include "gui_test_classes.h"
#include "serial/device_sim.h"
#include "sim/simulated_unit.h"

namespace zarnik {

namespace {

constexpr const char* kNoPort = "/nonexistent/zarnik-test-port";

void WriteFile(const QString& path, const std::string& data) {
  std::ofstream(path.toStdString(), std::ios::binary) << data;
}

// What the window looked like while a file's data went out.
class TransferWatch : public ProgressObserver {
 public:
  explicit TransferWatch(TZarnikForm& form) : form_(form) {}
  void ProgressShown(const ProgressModel&) override {
    pickEnabled = form_.PickButton->isEnabled();
    configVisible = form_.ConfigMenu->menuAction()->isVisible();
  }
  void ProgressStepped(const ProgressModel&) override {
    if (onFirstStep && !stepped) onFirstStep();
    stepped = true;
  }
  std::optional<bool> pickEnabled, configVisible;
  bool stepped = false;
  std::function<void()> onFirstStep;

 private:
  TZarnikForm& form_;
};

}  // namespace

class ZarnikFormTest : public QObject {
  Q_OBJECT

  std::unique_ptr<SimulatedUnit> unit_;
  QTemporaryDir dir_;
  QString script_;

  void UnitOnCom1(bool present) {
    setenv("ZARNIK_COM1", present ? unit_->DevicePath().c_str() : kNoPort, 1);
  }

  struct Rig {
    QtHost host;
    std::optional<int> endStatus;
    std::unique_ptr<TZarnikForm> form;
    explicit Rig(ZarnikFormOptions options = {}, const QString& settings = {}) {
      host.autoAnswer = true;
      options.settingsPath = settings.isEmpty() ? std::string("/nonexistent/LoaderDefault.ini")
                                                : settings.toStdString();
      options.endProcess = [this](int status) { endStatus = status; };
      form = std::make_unique<TZarnikForm>(host, options);
    }
    // Shows the window and waits for its start-up sequence.
    bool Start() {
      form->show();
      return QTest::qWaitFor([&] { return form->FormShown() || endStatus.has_value(); }, 30000);
    }
    QAction* Action(const char* name) { return form->findChild<QAction*>(name); }
  };

  ZarnikFormOptions PickScript(const QString& path) {
    ZarnikFormOptions o;
    o.runFileDialog = [path](QFileDialog& d) {
      d.selectFile(path);
      return true;
    };
    return o;
  }

 private slots:
  void initTestCase() {
    unit_ = std::make_unique<SimulatedUnit>(sim::PtyUnitConfig{});
    std::string error;
    QVERIFY2(unit_->Start(error), error.c_str());
    setenv("ZARNIK_COM2", kNoPort, 1);
    // A file of three blocks and a script loading it.
    std::string data(5000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 13);
    WriteFile(dir_.filePath("fw.bin"), data);
    script_ = dir_.filePath("load.sld");
    WriteFile(script_, "_TC \"^M\"\n_LP 1\n_LF " + dir_.filePath("fw.bin").toStdString() +
                           "\n_LA 8000\n_LV V1\n_LD\n");
  }
  void cleanupTestCase() { unit_.reset(); }

  void controlsAtTheirPlaces_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("place");
    QTest::newRow("PickButton") << "PickButton" << QRect(40, 38, 176, 25);
    QTest::newRow("UploadButton") << "UploadButton" << QRect(376, 48, 65, 17);
    QTest::newRow("RS232GroupBox") << "RS232GroupBox" << QRect(37, 72, 444, 42);
    QTest::newRow("TerminalPane1") << "TerminalPane1" << QRect(16, 120, 497, 273);
    QTest::newRow("StatusLight1 CTS") << "StatusLight1" << QRect(236, 19, 10, 10);
    QTest::newRow("StatusLight2 DCD") << "StatusLight2" << QRect(179, 19, 10, 10);
    QTest::newRow("StatusLight3 RXD") << "StatusLight3" << QRect(128, 19, 10, 10);
    QTest::newRow("StatusLight4 TXD") << "StatusLight4" << QRect(75, 19, 10, 10);
    QTest::newRow("InfoStatusBar") << "InfoStatusBar" << QRect(0, 397, 527, 19);
  }
  void controlsAtTheirPlaces() {
    QFETCH(QString, name);
    QFETCH(QRect, place);
    Rig rig;
    auto* w = rig.form->findChild<QWidget*>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), place);
  }

  void windowAtFirst() {
    Rig rig;
    TZarnikForm& f = *rig.form;
    QCOMPARE(f.windowTitle(), QString("Halvern Inc. :- Zarnik"));
    QCOMPARE(f.ClientHeight(), 416);
    QCOMPARE(f.Client->width(), 527);
    QVERIFY(f.UploadButton->isHidden());
    QVERIFY(f.PickButton->isEnabled());
    QCOMPARE(f.Label1->text(), QString("ZARNIK"));
    QCOMPARE(f.Label1->geometry(), QRect(184, 8, 122, 20));
    QCOMPARE(f.VersionLabel->text(), QString("Version : "));
    QCOMPARE(f.ComNumberLabel->text(), QString("None"));
    QCOMPARE(f.ComBaudLabel->text(), QString("38400"));
    QCOMPARE(f.StatusText(), QString("Info"));
    QVERIFY(f.VisibleMenu->isChecked());
    QVERIFY(!f.PCIConnect->isEnabled());  // no boards on this host
    QCOMPARE(f.ComPort1().GetBaud(), 38400);
    QCOMPARE(f.ComPort1().GetComNumber(), uint16_t(1));
    QVERIFY(!f.ComPort1().GetOpen());
    QCOMPARE(f.RS232GroupBox->title(), QString("RS-232"));
    const QStringList filters = f.INIOpenDialog->nameFilters();
    QCOMPARE(filters.size(), 2);
    QVERIFY(filters[0].startsWith("Script files (*.sld)"));
  }

  // With a board present the scan offers PCI Board(s) > Connected; picking it
  // switches to the board's layout and picking it again back to the serial line.
  void pciConnectedSwitchesTheLayout() {
    setenv("ZARNIK_PCI_SIM", "0:3", 1);
    Rig rig;
    unsetenv("ZARNIK_PCI_SIM");
    TZarnikForm& f = *rig.form;
    QVERIFY(f.PCIConnect->isEnabled());
    f.PCIConnect->trigger();
    QVERIFY(f.PCIConnect->isChecked());
    QVERIFY(f.RS232GroupBox->isHidden());
    QCOMPARE(f.ComNumberLabel->text(), QString("None"));
    f.PCIConnect->trigger();
    QVERIFY(!f.PCIConnect->isChecked());
    QVERIFY(!f.RS232GroupBox->isHidden());
  }

  // The script button on the PCI link runs the script once per board, in ascending
  // board ID, with the progress window naming each board.
  void scriptRunsOncePerBoard() {
    struct Boards : ProgressObserver {
      void ProgressShown(const ProgressModel& m) override { shown.push_back(m.PCINumberLabel()); }
      std::vector<std::string> shown;
    } boards;
    setenv("ZARNIK_PCI_SIM", "0:5,1:2", 1);
    Rig rig(PickScript(script_));
    unsetenv("ZARNIK_PCI_SIM");
    QVERIFY(rig.Start());
    QVERIFY(rig.form->PCIConnect->isChecked());
    rig.form->Core().Progress.AddObserver(&boards);
    QTest::mouseClick(rig.form->PickButton, Qt::LeftButton);
    rig.form->Core().Progress.RemoveObserver(&boards);
    QCOMPARE(boards.shown, (std::vector<std::string>{"PCI Board :  2", "PCI Board :  5"}));
    QCOMPARE(rig.host.messages.back(), std::string("Upload Complete."));
  }

  void menuTree() {
    Rig rig;
    QStringList top;
    for (QAction* a : rig.form->menuBar()->actions()) top << a->text();
    QCOMPARE(top, QStringList({"Exit", "PCI Board(s)", "RS232 Config", "Terminal"}));
    auto captions = [&](const char* menu) {
      QStringList items;
      for (QAction* a : rig.form->findChild<QMenu*>(menu)->actions())
        items << (a->isSeparator() ? "-" : a->text());
      return items;
    };
    QCOMPARE(captions("COMPortMenu"), QStringList({"None", "COM1", "COM2", "-", "Search"}));
    QCOMPARE(captions("Baud1"), QStringList({"1200", "2400", "9600", "19200", "38400", "57600"}));
    QCOMPARE(captions("Terminal1"),
             QStringList({"Visible", "Background Color", "Text Color", "Terminal Fonts..."}));
    QCOMPARE(captions("BackgroundColor1"),
             QStringList({"Black", "Red", "Green", "Blue", "White", "-", "Default"}));
    QCOMPARE(captions("ForegroundColor1"),
             QStringList({"Black", "Red", "Green", "Blue", "White", "-", "Default"}));
    QVERIFY(!rig.form->ForegroundColor1->menuAction()->isVisible());
    QCOMPARE(rig.form->SearchAllMenu->toolTip(),
             QString("Look for prompt defined in INI file on COM 1 and COM 2"));
    QVERIFY(!rig.Action("N12001")->isCheckable());
    QVERIFY(rig.Action("N576001")->isCheckable());
  }

  void visibleTogglesClientHeight() {
    Rig rig;
    TZarnikForm& f = *rig.form;
    f.VisibleMenu->trigger();
    QCOMPARE(f.ClientHeight(), 139);
    QVERIFY(!f.VisibleMenu->isChecked());
    QVERIFY(!f.TerminalAreaShown());
    QCOMPARE(f.InfoStatusBar->geometry(), QRect(0, 120, 527, 19));
    // Nothing of the pane shows through the status bar, which has the window's colour.
    QVERIFY(f.TerminalPane1->isHidden());
    QVERIFY(f.InfoStatusBar->autoFillBackground());
    f.VisibleMenu->trigger();
    QCOMPARE(f.ClientHeight(), 420);  // not the 416 of the start
    QVERIFY(f.VisibleMenu->isChecked());
    QVERIFY(!f.TerminalPane1->isHidden());
  }

  void colourEntries_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("background");
    QTest::addColumn<uint>("colour");
    QTest::newRow("back black") << "BackBlackMenu" << true << 0x000000u;
    QTest::newRow("back red") << "BackRedMenu" << true << 0x0000FFu;
    QTest::newRow("back green") << "BackGreenMenu" << true << 0x008000u;
    QTest::newRow("back blue") << "BackBlueMenu" << true << 0xFF0000u;
    QTest::newRow("back white") << "BackWhiteMenu" << true << 0xFFFFFFu;
    QTest::newRow("back default is black") << "BackDefaultMenu" << true << 0x000000u;
    QTest::newRow("text red") << "TextRedMenu" << false << 0x0000FFu;
    QTest::newRow("text white") << "TextWhiteMenu" << false << 0xFFFFFFu;
    QTest::newRow("text default is silver") << "TextDefaultMenu" << false << 0xC0C0C0u;
  }
  void colourEntries() {
    QFETCH(QString, entry);
    QFETCH(bool, background);
    QFETCH(uint, colour);
    Rig rig;
    TTerminalPane& pane = rig.form->TerminalPane();
    // From a colour that is none of the table's, so every entry shows its effect.
    pane.SetBackgroundColour(0x123456);
    pane.SetTextColour(0x123456);
    QAction* a = rig.Action(entry.toLatin1());
    QVERIFY(a);
    a->trigger();
    QCOMPARE(background ? pane.Color() : pane.FontColor(), colour);
    QVERIFY(!a->isChecked());  // colours are neither ticked nor remembered
  }

  void fontEntryTakesTheChosenFontOnlyWhenConfirmed() {
    for (bool confirm : {false, true}) {
      ZarnikFormOptions o;
      o.runFontDialog = [confirm](QFontDialog& d) {
        QFont f("DejaVu Sans Mono");
        f.setPixelSize(20);
        d.setCurrentFont(f);
        return confirm;
      };
      Rig rig(o);
      rig.Action("TerminalFonts1")->trigger();
      const TerminalFont font = rig.form->TerminalPane().GetFont();
      QCOMPARE(font.Height, confirm ? 20 : 12);
    }
  }

  // The dialog opens on the font the pane draws with and offers fixed-pitch families;
  // OK without a change leaves the cells as they were.
  void fontDialogStartsOnTheDrawnFont() {
    std::optional<QFont> offered;
    bool monospacedOnly = false;
    ZarnikFormOptions o;
    o.runFontDialog = [&](QFontDialog& d) {
      offered = d.currentFont();
      monospacedOnly = d.testOption(QFontDialog::MonospacedFonts);
      return true;
    };
    Rig rig(o);
    TTerminalPane& pane = rig.form->TerminalPane();
    const TTerminalGeometry before = pane.Geometry();
    const QString drawn = QFontInfo(pane.DrawnFont()).family();
    rig.Action("TerminalFonts1")->trigger();
    QVERIFY(offered);
    QCOMPARE(offered->family(), drawn);
    QVERIFY(monospacedOnly);
    QVERIFY(QFontInfo(pane.Font()).fixedPitch());
    QCOMPARE(pane.Geometry().cellWidth, before.cellWidth);
    QCOMPARE(pane.Geometry().cellHeight, before.cellHeight);
  }

  void backspaceKey_data() {
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("left");
    QTest::newRow("backspace, port closed: left to the pane") << false << 8 << 8;
    QTest::newRow("backspace, port open: swallowed") << true << 8 << 0;
    QTest::newRow("other key, port open") << true << int('a') << int('a');
  }
  void backspaceKey() {
    QFETCH(bool, open);
    QFETCH(int, key);
    QFETCH(int, left);
    UnitOnCom1(true);
    Rig rig;
    if (open) rig.form->ComPort1().SetOpen(true);
    char k = char(key);
    rig.form->TerminalPane1KeyPress(k);
    QCOMPARE(int(k), left);
  }

  void typedBackspaceGoesOutAsBsSpBs_data() {
    QTest::addColumn<bool>("open");
    QTest::newRow("port open: BS SP BS") << true;
    QTest::newRow("port closed: nothing") << false;
  }
  void typedBackspaceGoesOutAsBsSpBs() {
    QFETCH(bool, open);
    auto modem = SimNullModem::Create("form-backspace");
    setenv("ZARNIK_COM1", modem->Path().c_str(), 1);
    Rig rig;
    if (open) rig.form->ComPort1().SetOpen(true);
    QTest::keyClick(rig.form->TerminalPane1, Qt::Key_Backspace);
    if (open) {
      QVERIFY(modem->PeerWaitAvailable(3, 5000));
      QCOMPARE(modem->PeerReadAll(), std::string("\b \b"));
    } else {
      QVERIFY(!modem->PortOpen());
      QCOMPARE(modem->PeerAvailable(), size_t(0));
    }
    rig.form.reset();
  }

  void unitOutputInThePaneAndTheLamps() {
    UnitOnCom1(true);
    Rig rig;
    QVERIFY(rig.Start());
    TZarnikForm& f = *rig.form;
    QVERIFY(f.LampsMonitoring());
    QVERIFY(f.StatusLight1->Lit());  // CTS: a pty shows its lines asserted
    QVERIFY(f.StatusLight2->Lit());  // DCD
    bool rxdSeen = false;
    QTest::keyClicks(f.TerminalPane1, "VER");
    QTest::keyClick(f.TerminalPane1, Qt::Key_Return);
    auto shown = [&] {
      rxdSeen = rxdSeen || f.StatusLight3->Lit();
      for (int row = 1; row <= 16; ++row)
        if (f.TerminalPane().Buffer().RowText(row).find("ZK-UNIT FW 2.13") != std::string::npos)
          return true;
      return false;
    };
    QVERIFY(QTest::qWaitFor(shown, 10000));
    QVERIFY(rxdSeen);
    QVERIFY(
        QTest::qWaitFor([&] { return !f.StatusLight3->Lit() && !f.StatusLight4->Lit(); }, 10000));
  }

  void comPortMenusAndTheirStatusTexts() {
    UnitOnCom1(true);
    Rig rig;
    TZarnikForm& f = *rig.form;
    rig.Action("NoneMenu")->trigger();
    QCOMPARE(rig.host.statusTexts.back(),
             std::string("Note: Last successful COM port used is: Never"));
    QVERIFY(!f.PickButton->isEnabled());

    rig.host.statusTexts.clear();
    rig.Action("COM1Menu")->trigger();
    QCOMPARE(rig.host.statusTexts.front(), std::string("Checking COM 1.... Please wait.... "));
    QCOMPARE(rig.host.statusTexts.back(), std::string("Established communication on COM 1"));
    QCOMPARE(f.StatusText(), QString("Established communication on COM 1"));
    QCOMPARE(f.ComNumberLabel->text(), QString("1"));
    QVERIFY(f.PickButton->isEnabled());
    QVERIFY(f.LampsMonitoring());

    rig.Action("NoneMenu")->trigger();
    QCOMPARE(f.StatusText(), QString("Note: Last successful COM port used is: 1"));
    QCOMPARE(f.ComNumberLabel->text(), QString("None"));
    QVERIFY(!f.ComPort1().GetOpen());

    // COM2 is absent here: the buttons come back all the same.
    rig.Action("COM2Menu")->trigger();
    QCOMPARE(f.StatusText(),
             QString("Unable to open Hardware thru COM ports. Select new COM port/check RS232 "
                     "connection before proceeding"));
    QCOMPARE(rig.host.messages.back(),
             std::string("Error! Cannot establish communication using COM 2. Please check RS232 "
                         "connection"));
    QVERIFY(f.PickButton->isEnabled());
  }

  void baudEntries() {
    UnitOnCom1(true);
    Rig rig;
    TZarnikForm& f = *rig.form;
    rig.Action("COM1Menu")->trigger();
    QVERIFY(f.ComPort1().GetOpen());
    rig.Action("N576001")->trigger();
    QCOMPARE(f.ComBaudLabel->text(), QString("57600"));
    QCOMPARE(f.ComPort1().GetBaud(), 57600);
    QVERIFY(rig.Action("N576001")->isChecked());
    rig.Action("N12001")->trigger();
    QCOMPARE(f.ComBaudLabel->text(), QString("1200"));
    QVERIFY(!rig.Action("N576001")->isChecked());
  }

  void startUpFindsTheUnitAndHidesTheSplash() {
    UnitOnCom1(true);
    Rig rig;
    QWidget splash;
    splash.show();
    rig.form->SetSplash(&splash);
    QVERIFY(rig.Start());
    QCOMPARE(rig.form->VersionLabel->text(), QString("Version : 1.06"));
    QCOMPARE(rig.form->ComNumberLabel->text(), QString("1"));
    QCOMPARE(rig.form->StatusText(), QString("Established communication on COM 1"));
    QVERIFY(!splash.isVisible());
    QVERIFY(rig.form->PickButton->isEnabled());
    QVERIFY(!rig.endStatus);
  }

  void startUpWithNoUnitDisablesTheButtons() {
    UnitOnCom1(false);
    Rig rig;
    QVERIFY(rig.Start());
    QCOMPARE(rig.form->StatusText(),
             QString("Unable to open Hardware through COM ports. Select new COM port before "
                     "proceeding"));
    QVERIFY(!rig.form->PickButton->isEnabled());
  }

  void cancelledDialogChangesNothing() {
    UnitOnCom1(true);
    ZarnikFormOptions o;
    o.runFileDialog = [](QFileDialog&) { return false; };
    Rig rig(o);
    QVERIFY(rig.Start());
    const QString status = rig.form->StatusText();
    QTest::mouseClick(rig.form->PickButton, Qt::LeftButton);
    QVERIFY(rig.host.messages.empty());
    QCOMPARE(rig.form->StatusText(), status);
    QVERIFY(rig.form->PickButton->isEnabled());
  }

  void buttonsAndMenuThroughARun() {
    UnitOnCom1(true);
    Rig rig(PickScript(script_));
    QVERIFY(rig.Start());
    TransferWatch watch(*rig.form);
    rig.form->Core().Progress.AddObserver(&watch);
    QTest::mouseClick(rig.form->PickButton, Qt::LeftButton);
    rig.form->Core().Progress.RemoveObserver(&watch);
    QCOMPARE(watch.pickEnabled, std::optional<bool>(false));
    QCOMPARE(watch.configVisible, std::optional<bool>(false));
    QVERIFY(rig.form->PickButton->isEnabled());
    QVERIFY(rig.form->UploadButton->isEnabled());
    QVERIFY(rig.form->ConfigMenu->menuAction()->isVisible());
    QVERIFY(!rig.host.WaitCursor());
    QCOMPARE(rig.host.messages.back(), std::string("Upload Complete."));
  }

  void closeQueryDuringTransfer_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("No: the upload goes on") << false;
    QTest::newRow("Yes: the process ends") << true;
  }
  void closeQueryDuringTransfer() {
    QFETCH(bool, yes);
    UnitOnCom1(true);
    Rig rig(PickScript(script_));
    QVERIFY(rig.Start());
    rig.host.yesNoAnswers = {yes};
    TransferWatch watch(*rig.form);
    bool closed = true;
    watch.onFirstStep = [&] { closed = rig.form->close(); };
    rig.form->Core().Progress.AddObserver(&watch);
    QTest::mouseClick(rig.form->PickButton, Qt::LeftButton);
    rig.form->Core().Progress.RemoveObserver(&watch);
    QCOMPARE(rig.host.questions,
             std::vector<std::string>{"File upload in progress.\rAre you sure you want to cancel "
                                      "upload and exit the application?"});
    QCOMPARE(closed, yes);
    if (yes) {
      QCOMPARE(rig.endStatus, std::optional<int>(0));
      QVERIFY(!rig.form->isVisible());
    } else {
      QVERIFY(!rig.endStatus);
      QVERIFY(rig.form->isVisible());
      QCOMPARE(rig.host.messages.back(), std::string("Upload Complete."));
    }
  }

  // A unit of its own on COM1, which a test may pull away (its pty closes).
  std::unique_ptr<SimulatedUnit> UnitOfItsOwnOnCom1() {
    auto unit = std::make_unique<SimulatedUnit>(sim::PtyUnitConfig{});
    std::string error;
    if (!unit->Start(error)) return nullptr;
    setenv("ZARNIK_COM1", unit->DevicePath().c_str(), 1);
    return unit;
  }

  // The port closed, the lamps off, the device named, until a COM pick.
  static void ExpectPortDropped(TZarnikForm& f, const std::string& device) {
    QVERIFY(!f.ComPort1().GetOpen());
    QCOMPARE(f.StatusText(),
             QString::fromStdString("Serial port failure: " + device + " was disconnected."));
    for (TStatusLight* lamp : {f.StatusLight1, f.StatusLight2, f.StatusLight3, f.StatusLight4})
      QVERIFY2(!lamp->Lit(), qPrintable(lamp->objectName()));
    QVERIFY(!f.LampsMonitoring());
    QCOMPARE(f.ComNumberLabel->text(), QString("None"));
    QVERIFY(!f.PickButton->isEnabled());
    QVERIFY(f.ConfigMenu->menuAction()->isVisible());
  }

  // Picking COM1 again finds a unit there and brings everything back.
  void ExpectComPickReopens(Rig& rig, SimulatedUnit& fresh) {
    setenv("ZARNIK_COM1", fresh.DevicePath().c_str(), 1);
    TZarnikForm& f = *rig.form;
    rig.Action("COM1Menu")->trigger();
    QVERIFY(f.ComPort1().GetOpen());
    QCOMPARE(f.StatusText(), QString("Established communication on COM 1"));
    QCOMPARE(f.ComNumberLabel->text(), QString("1"));
    QVERIFY(f.PickButton->isEnabled());
    QVERIFY(f.LampsMonitoring());
    QVERIFY(f.StatusLight1->Lit());  // CTS
  }

  void aPulledCableWhileIdleClosesThePort() {
    auto unit = UnitOfItsOwnOnCom1();
    QVERIFY(unit);
    const std::string device = unit->DevicePath();
    Rig rig;
    QVERIFY(rig.Start());
    TZarnikForm& f = *rig.form;
    QVERIFY(f.StatusLight1->Lit());
    unit.reset();  // the cable comes out
    QVERIFY(QTest::qWaitFor([&] { return !f.ComPort1().GetOpen(); }, 10000));
    ExpectPortDropped(f, device);
    // Said in the status bar; no box waits for a click.
    QVERIFY(rig.host.messages.empty());
    auto fresh = UnitOfItsOwnOnCom1();
    QVERIFY(fresh);
    ExpectComPickReopens(rig, *fresh);
  }

  void aPulledCableDuringARunEndsItThenClosesThePort() {
    auto unit = UnitOfItsOwnOnCom1();
    QVERIFY(unit);
    const std::string device = unit->DevicePath();
    Rig rig(PickScript(script_));
    QVERIFY(rig.Start());
    TransferWatch watch(*rig.form);
    watch.onFirstStep = [&] { unit.reset(); };
    rig.form->Core().Progress.AddObserver(&watch);
    QTest::mouseClick(rig.form->PickButton, Qt::LeftButton);
    rig.form->Core().Progress.RemoveObserver(&watch);
    QVERIFY(watch.stepped);
    const std::vector<std::string> shown = {
        "Error! Serial port failure: " + device + " was disconnected.",
        "Unsuccessful.  Upload terminated by user."};
    QCOMPARE(rig.host.messages, shown);
    QVERIFY(!rig.host.WaitCursor());
    ExpectPortDropped(*rig.form, device);
    auto fresh = UnitOfItsOwnOnCom1();
    QVERIFY(fresh);
    ExpectComPickReopens(rig, *fresh);
  }

  void closeWhenIdleNeedsNoQuestion() {
    UnitOnCom1(true);
    Rig rig;
    QVERIFY(rig.Start());
    rig.Action("ExitMenu")->trigger();
    QVERIFY(!rig.form->isVisible());
    QVERIFY(rig.host.questions.empty());
    QVERIFY(!rig.endStatus);
  }

  // Closing the window while a script runs (in its _DY, or in a prompt wait that
  // would go on for some 20 s with its retries) stops the script at once; the window
  // stays, disabled, until the script has returned. The operator's run then closes
  // the window; automatic mode ends with 1.
  void closeWhileAScriptRuns_data() {
    QTest::addColumn<bool>("automatic");
    QTest::addColumn<bool>("promptWait");
    QTest::newRow("operator's run, _DY") << false << false;
    QTest::newRow("automatic mode, _DY") << true << false;
    QTest::newRow("operator's run, prompt wait") << false << true;
    QTest::newRow("automatic mode, prompt wait") << true << true;
  }
  void closeWhileAScriptRuns() {
    QFETCH(bool, automatic);
    QFETCH(bool, promptWait);
    UnitOnCom1(true);
    const QString script = dir_.filePath("run.sld");
    // The second _TC waits for a loader prompt the unit never shows.
    WriteFile(script, std::string("_TC \"^M\"\n_DM \"before\"\n") +
                          (promptWait ? "_PC \"!\"\n_TC \"^M\"\n" : "_DY 6000\n") +
                          "_DM \"after\"\n");
    Rig rig(PickScript(script), automatic ? AutomaticSettings("run.sld") : QString());
    std::optional<bool> closed, enabledMeanwhile, visibleMeanwhile, inPromptWait;
    QElapsedTimer sinceClose;
    rig.host.onMessage = [&](const std::string& text) {
      if (text != "before") return;
      // Into the prompt wait first (it starts after a pause of 100 ms).
      QTimer::singleShot(promptWait ? 1000 : 0, rig.form.get(), [&] {
        inPromptWait = rig.form->Core().Channel.PromptWaiting();
        sinceClose.start();
        closed = rig.form->close();
        enabledMeanwhile = rig.form->isEnabled();
        visibleMeanwhile = rig.form->isVisible();
      });
    };
    QElapsedTimer clock;
    clock.start();
    QVERIFY(rig.Start());
    if (!automatic) QTest::mouseClick(rig.form->PickButton, Qt::LeftButton);
    QVERIFY(QTest::qWaitFor(
        [&] { return automatic ? rig.endStatus.has_value() : !rig.form->isVisible(); }, 30000));
    QVERIFY(clock.elapsed() < 30000);  // the minute of _DY did not run out
    QCOMPARE(inPromptWait, std::optional<bool>(promptWait));
    // The prompt wait and its retries would take some 20 s more.
    if (promptWait) QVERIFY2(sinceClose.elapsed() < 8000, std::to_string(sinceClose.elapsed()).c_str());
    QCOMPARE(closed, std::optional<bool>(false));
    QCOMPARE(enabledMeanwhile, std::optional<bool>(false));
    QCOMPARE(visibleMeanwhile, std::optional<bool>(true));
    QVERIFY(std::find(rig.host.messages.begin(), rig.host.messages.end(), "after") ==
            rig.host.messages.end());
    for (const std::string& m : rig.host.messages) QVERIFY2(m.rfind("Error", 0) != 0, m.c_str());
    if (automatic)
      QCOMPARE(*rig.endStatus, 1);
    else
      QCOMPARE(rig.host.messages.back(), std::string("Unsuccessful.  Upload terminated by user."));
  }

  // Stop stays pressable in automatic mode, whose run disables the main window.
  void stopInAutomaticModeEndsTheRunWithOne() {
    UnitOnCom1(true);
    Rig rig({}, AutomaticSettings("load.sld"));
    TProgressForm progress(rig.form->Core().Progress, rig.form.get());
    TransferWatch watch(*rig.form);
    std::optional<bool> mainEnabled;
    watch.onFirstStep = [&] {
      mainEnabled = rig.form->isEnabled();
      QTest::mouseClick(progress.CancelButton, Qt::LeftButton);
    };
    rig.form->Core().Progress.AddObserver(&watch);
    QVERIFY(rig.Start());
    QVERIFY(QTest::qWaitFor([&] { return rig.endStatus.has_value(); }, 30000));
    rig.form->Core().Progress.RemoveObserver(&watch);
    QCOMPARE(mainEnabled, std::optional<bool>(false));
    QVERIFY(rig.form->Core().Progress.Cancelled);
    QCOMPARE(*rig.endStatus, 1);
  }

  // A window of its own, owned by (kept above) the main window.
  void progressWindowIsOwnedNotAChild() {
    Rig rig;
    TProgressForm progress(rig.form->Core().Progress, rig.form.get());
    QVERIFY(!progress.parentWidget());
    QCOMPARE(progress.windowHandle()->transientParent(), rig.form->windowHandle());
  }

  QString AutomaticSettings(const QString& script) {
    const QString settings = dir_.filePath("auto.ini");
    WriteFile(settings, "Port=\nBaud=38400\nData=8\nParity=0\nStop=1\nScript=" +
                            dir_.filePath(script).toStdString() + "\nFolder=\nMode=Automatic\n");
    return settings;
  }

  void automaticModeEndsTheProcess_data() {
    QTest::addColumn<bool>("unitPresent");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("loaded: 0") << true << "load.sld" << 0 << "";
    QTest::newRow("a missing file: 1") << true << "missing.sld" << 1 << "";
    QTest::newRow("no port: 1")
        << false << "load.sld" << 1
        << "Error!! COM port communication failed. Please check RS232 connection/INI settings. "
           "Exiting application";
  }
  void automaticModeEndsTheProcess() {
    QFETCH(bool, unitPresent);
    QFETCH(QString, script);
    QFETCH(int, status);
    QFETCH(QString, message);
    UnitOnCom1(unitPresent);
    Rig rig({}, AutomaticSettings(script));
    QVERIFY(rig.Start());
    QVERIFY(QTest::qWaitFor([&] { return rig.endStatus.has_value(); }, 30000));
    QCOMPARE(*rig.endStatus, status);
    QVERIFY(!rig.form->isVisible());
    if (!message.isEmpty()) QCOMPARE(rig.host.messages.back(), message.toStdString());
    QVERIFY(rig.form->isEnabled());
  }
};

static RegisterGuiTest<ZarnikFormTest> registerZarnikFormTest;

}  // namespace zarnik

#include "zarnik_form_test.moc"
