#include "gui/zarnik_form.h"
#include "pci/pci_driver.h"

#include <iostream>

#include <unistd.h>

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFontDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>
#include <iostream>

#include "gui/fonts.h"
#include "pci/pci_driver.h"
#include "serial/serial_exceptions.h"
#include "widgets/qt_terminal_font.h"

namespace zarnik {

namespace {

QString Text(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), qsizetype(s.size()));
}

void EndProcessNow(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

struct ColourEntry {
  const char* backName;
  const char* textName;
  const char* caption;
  TerminalColour colour;
};
// Menu order; Default follows a separator.
constexpr ColourEntry kColourEntries[] = {
    {"BackBlackMenu", "TextBlackMenu", "Black", tcBlack},
    {"BackRedMenu", "TextRedMenu", "Red", tcRed},
    {"BackGreenMenu", "TextGreenMenu", "Green", tcGreen},
    {"BackBlueMenu", "TextBlueMenu", "Blue", tcBlue},
    {"BackWhiteMenu", "TextWhiteMenu", "White", tcWhite},
    {"BackDefaultMenu", "TextDefaultMenu", "Default", tcDefault},
};

struct BaudEntry {
  const char* name;
  int32_t baud;
  void (ComDiscovery::*handler)();
  bool radio;
};
constexpr BaudEntry kBaudEntries[] = {
    {"N12001", 1200, &ComDiscovery::N12001Click, false},
    {"N24001", 2400, &ComDiscovery::N24001Click, false},
    {"N96001", 9600, &ComDiscovery::N96001Click, true},
    {"N192001", 19200, &ComDiscovery::N192001Click, true},
    {"N384001", 38400, &ComDiscovery::N384001Click, true},
    {"N576001", 57600, &ComDiscovery::N576001Click, true},
};

// A group box whose caption sits on the frame line, half a text height down, as
// the places of the controls inside the group expect (the desktop styles put the
// caption above the frame instead).
class FramedGroupBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QFontMetrics fm(font());
    const int line = fm.height() / 2;
    const QRect frame = rect().adjusted(0, line, -1, -1);
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(frame);
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(frame.adjusted(1, 1, 1, 1));
    const QRect caption(8, 0, fm.horizontalAdvance(title()) + 4, fm.height());
    p.fillRect(caption, palette().color(QPalette::Window));
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(caption, Qt::AlignCenter, title());
  }
};

}  // namespace

TZarnikForm::TZarnikForm(QtHost& host, ZarnikFormOptions options)
    : QMainWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      host_(host),
      options_(std::move(options)),
      comPort1_(host),
      core_(host, comPort1_, *this, options_.portAvailable) {
  if (!options_.endProcess) options_.endProcess = EndProcessNow;
  if (!options_.runFileDialog)
    options_.runFileDialog = [](QFileDialog& d) { return d.exec() == QDialog::Accepted; };
  if (!options_.runFontDialog)
    options_.runFontDialog = [](QFontDialog& d) { return d.exec() == QDialog::Accepted; };

  setObjectName("ZarnikForm");
  setWindowTitle(kDesignCaption);
  setFont(PixelFont(kFormFontFamily, 11));
  BuildControls();
  BuildMenus();
  // The window follows its client area and cannot be resized by the operator.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  SetClientHeight(kClientHeight);

  SetUpComPort1(comPort1_);
  // Told while the port's notices are handled: the close comes from a step of its own.
  comPort1_.OnLineLost = [this](TCustomComPort&) {
    QTimer::singleShot(0, this, [this] { Guarded([this] { ComPort1LineLost(); }); });
  };
  core_.Start.SettingsPath = options_.settingsPath;
  core_.Channel.ErrorText.clear();
  // The board scan decides the starting link and whether PCI Board(s) > Connected
  // is offered.
  std::string pciError;
  core_.ScanPciBoards(MakePciDriver(host_, pciError));
  if (!pciError.empty()) std::cerr << pciError << '\n';
  host_.SetView(this);
}

TZarnikForm::~TZarnikForm() {
  host_.SetView(nullptr);
  // The pane outlives the port (it goes with the window's children).
  TerminalPane1->SetComPort(nullptr);
  try {
    comPort1_.SetOpen(false);
  } catch (const ESerialException&) {
  }
}

QLabel* TZarnikForm::AddLabel(QWidget* parent, int left, int top, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->move(left, top);
  label->adjustSize();
  return label;
}

void TZarnikForm::BuildControls() {
  Client = new QWidget(this);
  Client->setObjectName("ClientArea");
  setCentralWidget(Client);

  Label1 = new QLabel("ZARNIK", Client);
  Label1->setGeometry(184, 8, 122, 20);
  Label1->setAlignment(Qt::AlignCenter);
  Label1->setFont(PixelFont(kTitleFontFamily, 15));
  Label1->setStyleSheet("color: black");

  VersionLabel = AddLabel(Client, 447, 10, "Version : ");
  VersionLabel->setObjectName("VersionLabel");

  PickButton = new QPushButton("Open script file to read and upload", Client);
  PickButton->setObjectName("PickButton");
  PickButton->setGeometry(40, 38, 176, 25);
  connect(PickButton, &QPushButton::clicked, this,
          [this] { Guarded([this] { PickButtonClick(); }); });

  UploadButton = new QPushButton("Upload", Client);
  UploadButton->setObjectName("UploadButton");
  UploadButton->setGeometry(376, 48, 65, 17);
  UploadButton->hide();
  connect(UploadButton, &QPushButton::clicked, this,
          [this] { Guarded([this] { UploadButtonClick(); }); });

  RS232GroupBox = new FramedGroupBox("RS-232", Client);
  RS232GroupBox->setObjectName("RS232GroupBox");
  RS232GroupBox->setGeometry(37, 72, 444, 42);
  auto lamp = [this](const char* name, int left, int top) {
    auto* l = new TStatusLight(RS232GroupBox);
    l->setObjectName(name);
    l->setGeometry(left, top, 10, 10);
    return l;
  };
  StatusLight4 = lamp("StatusLight4", 75, 19);
  Label5 = AddLabel(RS232GroupBox, 86, 18, "TXD");
  StatusLight3 = lamp("StatusLight3", 128, 19);
  Label4 = AddLabel(RS232GroupBox, 140, 18, "RXD");
  StatusLight2 = lamp("StatusLight2", 179, 19);
  Label3 = AddLabel(RS232GroupBox, 191, 18, "DCD");
  StatusLight1 = lamp("StatusLight1", 236, 19);
  Label2 = AddLabel(RS232GroupBox, 248, 18, "CTS");
  Label6 = AddLabel(RS232GroupBox, 320, 8, "COM:");
  ComNumberLabel = AddLabel(RS232GroupBox, 352, 8, "None");
  ComNumberLabel->setObjectName("ComNumberLabel");
  Label7 = AddLabel(RS232GroupBox, 320, 24, "Baud:");
  ComBaudLabel = AddLabel(RS232GroupBox, 353, 25, "38400");
  ComBaudLabel->setObjectName("ComBaudLabel");

  TerminalPane1 = new TTerminalPane(host_, Client);
  TerminalPane1->setObjectName("TerminalPane1");
  TerminalPane1->setGeometry(16, 120, 497, 273);
  TerminalPane1->SetRows(kTerminalRows);
  TerminalPane1->SetScrollback(false);
  TerminalPane1->SetBlinkTime(250);
  TerminalPane1->SetLazyByteDelay(4);
  TerminalPane1->SetLazyTimeDelay(50);
  TerminalPane1->SetUseLazyDisplay(false);
  TerminalPane1->SetWantAllKeys(false);
  TerminalPane1->SetCaptureFile("TERMINAL.CAP");
  TerminalPane1->SetColor(kDefaultBackgroundColour);
  TerminalPane1->SetFontColor(kDefaultTextColour);
  TerminalPane1->SetFont(TerminalFont{kTerminalFontFamily, 12});
  TerminalPane1->OnKeyPress = [this](QObject*, char& key) {
    Guarded([&] { TerminalPane1KeyPress(key); });
  };
  TerminalPane1->SetComPort(&comPort1_);

  SLController1.Lights.CTSLight = StatusLight1;
  SLController1.Lights.DCDLight = StatusLight2;
  SLController1.Lights.RXDLight = StatusLight3;
  SLController1.Lights.TXDLight = StatusLight4;
  SLController1.SetComPort(&comPort1_);

  InfoStatusBar = new QStatusBar(Client);
  InfoStatusBar->setObjectName("InfoStatusBar");
  InfoStatusBar->setSizeGripEnabled(false);
  // Drawn in the window's colour over whatever lies beneath it.
  InfoStatusBar->setAutoFillBackground(true);
  statusLabel_ = new QLabel("Info");
  InfoStatusBar->addWidget(statusLabel_, 1);

  INIOpenDialog = new QFileDialog(this);
  INIOpenDialog->setObjectName("INIOpenDialog");
  INIOpenDialog->setFileMode(QFileDialog::ExistingFile);
  INIOpenDialog->setNameFilters({"Script files (*.sld)", "All files (*)"});
  INIOpenDialog->setDirectory("..");
  // The same dialog everywhere, also where no desktop's own dialog exists.
  INIOpenDialog->setOption(QFileDialog::DontUseNativeDialog);

  FontDialog1 = new QFontDialog(this);
  FontDialog1->setObjectName("FontDialog1");
  FontDialog1->setOption(QFontDialog::DontUseNativeDialog);
  // The pane is a grid of cells: it offers the fixed-pitch families only.
  FontDialog1->setOption(QFontDialog::MonospacedFonts);
}

void TZarnikForm::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("ControllerMainMenu");
  auto action = [this](QMenu* menu, const char* name, const QString& caption,
                       std::function<void()> handler) {
    QAction* a = menu ? menu->addAction(caption) : menuBar()->addAction(caption);
    a->setObjectName(name);
    connect(a, &QAction::triggered, this, [this, handler] { Guarded(handler); });
    return a;
  };
  auto separator = [](QMenu* menu, const char* name) { menu->addSeparator()->setObjectName(name); };
  auto submenu = [](QMenu* parent, const char* name, const QString& caption) {
    QMenu* m = parent->addMenu(caption);
    m->setObjectName(name);
    m->menuAction()->setObjectName(QString(name) + "Item");
    return m;
  };
  ExitMenu = action(nullptr, "ExitMenu", "Exit", [this] { ExitMenuClick(); });

  QMenu* pci = bar->addMenu("PCI Board(s)");
  pci->setObjectName("PC1");
  PCIConnect = action(pci, "PCIConnect", "Connected", [this] { PCIConnectClick(); });
  PCIConnect->setCheckable(true);

  ConfigMenu = bar->addMenu("RS232 Config");
  ConfigMenu->setObjectName("ConfigMenu");
  QMenu* comPort = submenu(ConfigMenu, "COMPortMenu", "COM Port");
  action(comPort, "NoneMenu", "None", [this] { core_.Discovery.NoneMenuClick(); });
  action(comPort, "COM1Menu", "COM1", [this] { core_.Discovery.COM1MenuClick(); });
  action(comPort, "COM2Menu", "COM2", [this] { core_.Discovery.COM2MenuClick(); });
  separator(comPort, "N1");
  SearchAllMenu =
      action(comPort, "SearchAllMenu", "Search", [this] { core_.Discovery.SearchAllMenuClick(); });
  const QString hint = "Look for prompt defined in INI file on COM 1 and COM 2";
  SearchAllMenu->setToolTip(hint);
  SearchAllMenu->setStatusTip(hint);
  comPort->setToolTipsVisible(true);

  QMenu* baud = submenu(ConfigMenu, "Baud1", "Baud");
  baudRadio_ = new QActionGroup(this);
  baudRadio_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  for (const BaudEntry& e : kBaudEntries) {
    auto handler = e.handler;
    const bool radio = e.radio;
    QAction* a = action(baud, e.name, QString::number(e.baud), [this, handler, radio] {
      (core_.Discovery.*handler)();
      // A plain entry leaves no radio tick on a rate no longer in force.
      if (!radio && baudRadio_->checkedAction()) baudRadio_->checkedAction()->setChecked(false);
    });
    if (e.radio) {
      a->setCheckable(true);
      baudRadio_->addAction(a);
    }
  }

  QMenu* terminal = bar->addMenu("Terminal");
  terminal->setObjectName("Terminal1");
  VisibleMenu = action(terminal, "VisibleMenu", "Visible", [this] { VisibleMenuClick(); });
  VisibleMenu->setCheckable(true);
  VisibleMenu->setChecked(true);
  QMenu* background = submenu(terminal, "BackgroundColor1", "Background Color");
  ForegroundColor1 = submenu(terminal, "ForegroundColor1", "Text Color");
  for (const ColourEntry& e : kColourEntries) {
    if (e.colour == tcDefault) {
      separator(background, "N2");
      separator(ForegroundColor1, "N3");
    }
    const TerminalColour c = e.colour;
    action(background, e.backName, e.caption, [this, c] { BackColourClick(c); });
    action(ForegroundColor1, e.textName, e.caption, [this, c] { TextColourClick(c); });
  }
  // The text colours are reached through the settings file only.
  ForegroundColor1->menuAction()->setVisible(false);
  action(terminal, "TerminalFonts1", "Terminal Fonts...", [this] { TerminalFonts1Click(); });
}

void TZarnikForm::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const ESerialException& e) {
    host_.ShowMessage(e.what());
  }
}

// ---- Size and place ----

int TZarnikForm::ClientHeight() const {
  return Client->height();
}

void TZarnikForm::SetClientHeight(int height) {
  Client->setFixedSize(kClientWidth, height);
  InfoStatusBar->setGeometry(0, height - kStatusBarHeight, kClientWidth, kStatusBarHeight);
  InfoStatusBar->raise();
}

void TZarnikForm::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (!firstShow_) return;
  firstShow_ = false;
  if (QScreen* s = screen()) {
    adjustSize();
    move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
  // Once the window is on the screen, from the event loop, as its show handler.
  QTimer::singleShot(0, this, [this] { Guarded([this] { FormShow(); }); });
}

void TZarnikForm::closeEvent(QCloseEvent* e) {
  bool canClose = true;
  Guarded([&] { canClose = core_.Start.FormCloseQuery(); });
  if (canClose)
    e->accept();
  else
    e->ignore();
}

// ---- Handlers ----

void TZarnikForm::FormShow() {
  core_.Start.FormShow();
  formShowDone_ = true;
}

QString TZarnikForm::GetStartDirectory() {
  return QDir::currentPath();
}

void TZarnikForm::PickButtonClick() {
  INIOpenDialog->setDirectory(GetStartDirectory());
  if (!options_.runFileDialog(*INIOpenDialog)) return;
  const QStringList chosen = INIOpenDialog->selectedFiles();
  if (chosen.isEmpty()) return;
  const std::string path = chosen.first().toLocal8Bit().toStdString();
  // Hourglass, Cancelled cleared, the reading, the outcome box. A line lost under
  // the run ends it with its message; the port is closed once it is over.
  core_.RunScript(path);
  ComPort1LineLost();
  Terminal().SetFocus();
  core_.Start.ScriptReturned();
}

void TZarnikForm::ComPort1LineLost() {
  if (core_.Engine.Reading()) return;
  core_.Discovery.LineLost();
}

void TZarnikForm::UploadButtonClick() {
  core_.Engine.UploadButtonClick();
}

void TZarnikForm::ExitMenuClick() {
  core_.Start.ExitMenuClick();
}

void TZarnikForm::PCIConnectClick() {
  // Qt ticks a checkable entry before its handler runs; the link decides the tick.
  PCIConnect->setChecked(pciChecked_);
  Guarded([&] { core_.Pci.PCIConnectClick(); });
}

bool TZarnikForm::TerminalAreaShown() const {
  return visibleTick_;
}

void TZarnikForm::VisibleMenuClick() {
  // A triggered checkable action has ticked itself already; the tick is ours to set.
  const bool shown = !visibleTick_;
  visibleTick_ = shown;
  VisibleMenu->setChecked(shown);
  // The pane and its bars go too: nothing of them shows under the status bar.
  TerminalPane1->setVisible(shown);
  SetClientHeight(shown ? kShownClientHeight : kHiddenClientHeight);
}

void TZarnikForm::BackColourClick(TerminalColour colour) {
  Terminal().SetBackgroundColour(BackgroundColourValue(colour));
}

void TZarnikForm::TextColourClick(TerminalColour colour) {
  Terminal().SetTextColour(TextColourValue(colour));
}

void TZarnikForm::TerminalFonts1Click() {
  // Preset with the font the pane draws with: its named family may exist only as
  // a substitution, which the dialog could not select.
  FontDialog1->setCurrentFont(TerminalPane1->DrawnFont());
  if (!options_.runFontDialog(*FontDialog1)) return;
  Terminal().SetFont(FromQFont(FontDialog1->currentFont()));
}

void TZarnikForm::TerminalPane1KeyPress(char& key) {
  if (key != 8 || !comPort1_.GetOpen()) return;
  // Erase on the unit's side: back, blank, back.
  key = 0;
  comPort1_.PutString("\b \b");
}

// ---- ShellView ----

void TZarnikForm::StartStatusLights() {
  Guarded([this] { SLController1.SetMonitoring(true); });
}

void TZarnikForm::SetVersionLabel(const std::string& text) {
  VersionLabel->setText(Text(text));
  VersionLabel->adjustSize();
}

void TZarnikForm::SetComNumberLabel(const std::string& text) {
  ComNumberLabel->setText(Text(text));
  ComNumberLabel->adjustSize();
}

void TZarnikForm::SetComBaudLabel(const std::string& text) {
  ComBaudLabel->setText(Text(text));
  ComBaudLabel->adjustSize();
}

bool TZarnikForm::PciConnectEnabled() const {
  return PCIConnect->isEnabled();
}

void TZarnikForm::SetPciConnectEnabled(bool enabled) {
  PCIConnect->setEnabled(enabled);
}

bool TZarnikForm::PciConnectChecked() const {
  return pciChecked_;
}

void TZarnikForm::SetPciConnectChecked(bool checked) {
  pciChecked_ = checked;
  PCIConnect->setChecked(checked);
}

void TZarnikForm::SetRs232GroupVisible(bool visible) {
  RS232GroupBox->setVisible(visible);
}

void TZarnikForm::HideSplash() {
  if (splash_) splash_->hide();
}

void TZarnikForm::EndProcess(int exitStatus) {
  options_.endProcess(exitStatus);
}

bool TZarnikForm::AskYesNo(const std::string& caption, const std::string& text) {
  return host_.AskYesNo(caption, text);
}

// ---- QtHostView ----

void TZarnikForm::ShowStatusText(const QString& text) {
  statusLabel_->setText(text);
}

QString TZarnikForm::StatusText() const {
  return statusLabel_->text();
}

void TZarnikForm::SetScriptButtonsEnabled(bool enabled) {
  UploadButton->setEnabled(enabled);
  PickButton->setEnabled(enabled);
}

void TZarnikForm::SetConfigMenuVisible(bool visible) {
  ConfigMenu->menuAction()->setVisible(visible);
}

}  // namespace zarnik
