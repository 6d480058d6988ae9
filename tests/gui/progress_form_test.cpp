// The progress window drawing the progress model, and its Stop button.
#include "gui/progress_form.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "gui/qt_host.h"
#include "gui_test_classes.h"

namespace zarnik {

class ProgressFormTest : public QObject {
  Q_OBJECT

 private slots:
  void windowAsDefined() {
    QtHost host;
    ProgressModel model(host);
    TProgressForm form(model);
    QCOMPARE(form.size(), QSize(430, 145));
    QCOMPARE(form.windowTitle(), QString("Halvern Inc. :- File Upload Progress"));
    QVERIFY(form.windowFlags() & Qt::Tool);
    QVERIFY(!(form.windowFlags() & Qt::WindowCloseButtonHint));
    QCOMPARE(form.FileProgressBar->geometry(), QRect(8, 40, 417, 25));
    QCOMPARE(form.CancelButton->geometry(), QRect(376, 115, 49, 25));
    QCOMPARE(form.CancelButton->text(), QString("Stop"));
    QCOMPARE(form.Label1->text(), QString("TRANSFER STATUS "));
    QCOMPARE(form.BlockNameLabel->pos(), QPoint(67, 80));
    QCOMPARE(form.LoadAddressLabel->pos(), QPoint(291, 104));
    QVERIFY(form.Label5->isHidden());
    QVERIFY(form.FilePathLabel->isHidden());
    QVERIFY(form.PCINumberLabel->isHidden());
    QVERIFY(!form.isVisible());
  }

  void blocksSetTheBar_data() {
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("value");
    QTest::newRow("short file: one block") << 0 << 1 << 1 << 1;
    QTest::newRow("negative count") << -3 << 1 << 1 << 1;
    QTest::newRow("4001 bytes: stays full") << 2 << 3 << 2 << 2;
    QTest::newRow("part way") << 10 << 4 << 10 << 4;
  }
  void blocksSetTheBar() {
    QFETCH(int, blocks);
    QFETCH(int, steps);
    QFETCH(int, max);
    QFETCH(int, value);
    QtHost host;
    ProgressModel model(host);
    TProgressForm form(model);
    model.ShowProgressForm(blocks, {"fw/main.bin", 0x00A5, "8000", 70000});
    QVERIFY(form.isVisible());
    for (int i = 0; i < steps; ++i) model.StepIt();
    QCOMPARE(form.FileProgressBar->maximum(), max);
    QCOMPARE(form.FileProgressBar->value(), value);
    QCOMPARE(form.BlockNameLabel->text(), QString("fw/main.bin"));
    QCOMPARE(form.BlockNameLabel->toolTip(), QString("fw/main.bin"));
    QCOMPARE(form.ChecksumLabel->text(), QString("A5"));
    QCOMPARE(form.LoadAddressLabel->text(), QString("8000"));
    QCOMPARE(form.FileSizeLabel->text(), QString("70000"));
    model.HideProgressForm();
    QVERIFY(!form.isVisible());
    QCOMPARE(form.FileProgressBar->value(), 0);
  }

  // A long path keeps to its place and still names the file.
  void longPathShowsItsEnd() {
    QtHost host;
    ProgressModel model(host);
    TProgressForm form(model);
    const std::string path = "/a/very/long/folder/name/that/goes/on/and/on/firmware-image.bin";
    model.ShowProgressForm(1, {path, 1, "0", 5});
    QVERIFY(form.BlockNameLabel->geometry().right() < form.Label6->x());
    QVERIFY(form.BlockNameLabel->text().endsWith("firmware-image.bin"));
    QCOMPARE(form.BlockNameLabel->toolTip(), QString::fromStdString(path));
  }

  void stopSetsCancelledOnceOrTwice() {
    QtHost host;
    ProgressModel model(host);
    TProgressForm form(model);
    model.ShowProgressForm(3, {"a.bin", 1, "0", 5});
    QTest::mouseClick(form.CancelButton, Qt::LeftButton);
    QVERIFY(model.Cancelled);
    QTest::mouseClick(form.CancelButton, Qt::LeftButton);
    QVERIFY(model.Cancelled);
    QVERIFY(form.isVisible());  // Stop does nothing else
    QCOMPARE(form.FileProgressBar->value(), 0);
  }

  void operatorCannotCloseIt() {
    QtHost host;
    ProgressModel model(host);
    TProgressForm form(model);
    model.ShowProgressForm(1, {"a.bin", 1, "0", 5});
    QVERIFY(!form.close());
    QVERIFY(form.isVisible());
  }

  void pciBoardLabelAndCaption() {
    QtHost host;
    ProgressModel model(host);
    TProgressForm form(model);
    model.ShowPciBoardLabel(5);
    QVERIFY(!form.PCINumberLabel->isHidden());
    QCOMPARE(form.PCINumberLabel->text(), QString("PCI Board :  5"));
    model.HidePciBoardLabel();
    QVERIFY(form.PCINumberLabel->isHidden());
    form.SetCaption("Dorvik :- File Upload Progress");
    QCOMPARE(model.Caption, std::string("Dorvik :- File Upload Progress"));
    model.ShowProgressForm(1, {"a.bin", 1, "0", 5});
    QCOMPARE(form.windowTitle(), QString("Dorvik :- File Upload Progress"));
  }
};

static RegisterGuiTest<ProgressFormTest> registerProgressFormTest;

}  // namespace zarnik

#include "progress_form_test.moc"
