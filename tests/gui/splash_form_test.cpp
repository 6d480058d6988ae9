// The splash window: the brand table, its pictures and the click on the company picture.
#include "gui/splash_form.h"

#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>

#include "gui/progress_form.h"
#include "gui/qt_host.h"
#include "gui_test_classes.h"

namespace zarnik {

class SplashFormTest : public QObject {
  Q_OBJECT

 private slots:
  void picturesDecodeInTheirSizes() {
    QImageReader bmp(TSplashForm::kHalvernPicture);
    QCOMPARE(bmp.format(), QByteArray("bmp"));
    QCOMPARE(bmp.size(), QSize(600, 400));
    QImageReader jpeg(TSplashForm::kDorvikPicture);
    QCOMPARE(jpeg.format(), QByteArray("jpeg"));
    QCOMPARE(jpeg.size(), QSize(800, 700));
    QVERIFY(!TSplashForm::LoadPicture(TSplashForm::kHalvernPicture).isNull());
    QVERIFY(!TSplashForm::LoadPicture(TSplashForm::kDorvikPicture).isNull());
    // 24-bit colour: the bitmap header's bit count.
    QFile f(TSplashForm::kHalvernPicture);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QByteArray header = f.read(30);
    QCOMPARE(int(uchar(header[28])) | int(uchar(header[29])) << 8, 24);
  }

  void brandTable_data() {
    QTest::addColumn<QString>("settings");  // empty: no settings file
    QTest::addColumn<QString>("mainTitle");
    QTest::addColumn<QString>("progressTitle");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("picture");
    QTest::addColumn<QSize>("size");
    const QString filler =
        "a=1\nb=2\nc=3\nd=4\ne=5\nf=6\ng=7\nh=8\ni=9\nj=10\nk=11\nl=12\n"
        "m=13\nn=14\no=15\np=16\nq=17\nr=18\ns=19\nt=20\nu=21\nv=22\n";
    QTest::newRow("0: company") << filler + "Brand=0\n"
                                << "Halvern Inc :- Zarnik"
                                << "Halvern Inc :- File Upload Progress" << true << "HalvernImage"
                                << QSize(600, 400);
    QTest::newRow("letters read as 0")
        << filler + "Brand=xyz\n"
        << "Halvern Inc :- Zarnik"
        << "Halvern Inc :- File Upload Progress" << true << "HalvernImage" << QSize(600, 400);
    QTest::newRow("100: second brand")
        << filler + "Brand= 100\n"
        << "Dorvik :- Zarnik"
        << "Dorvik :- File Upload Progress" << true << "DorvikImage" << QSize(800, 700);
    QTest::newRow("5: plain titles") << filler + "Brand=5\n"
                                     << "Zarnik"
                                     << "Zarnik" << false << "" << QSize();
    QTest::newRow("position 23 absent")
        << filler << "Halvern Inc. :- Zarnik"
        << "Halvern Inc. :- File Upload Progress" << false << "" << QSize();
    QTest::newRow("position 23 without =")
        << filler + "Brand 100\n"
        << "Halvern Inc. :- Zarnik"
        << "Halvern Inc. :- File Upload Progress" << false << "" << QSize();
    QTest::newRow("no settings file")
        << QString() << "Halvern Inc. :- Zarnik"
        << "Halvern Inc. :- File Upload Progress" << false << "" << QSize();
  }
  void brandTable() {
    QFETCH(QString, settings);
    QFETCH(QString, mainTitle);
    QFETCH(QString, progressTitle);
    QFETCH(bool, shown);
    QFETCH(QString, picture);
    QFETCH(QSize, size);
    QTemporaryDir dir;
    const std::string path = dir.filePath("LoaderDefault.ini").toStdString();
    if (!settings.isNull()) std::ofstream(path, std::ios::binary) << settings.toStdString();

    QtHost host;
    QMainWindow main;
    main.setWindowTitle("Halvern Inc. :- Zarnik");
    ProgressModel model(host);
    TProgressForm progress(model, &main);
    TSplashForm splash(host, main, progress, path);
    QCOMPARE(main.windowTitle(), mainTitle);
    QCOMPARE(progress.windowTitle(), progressTitle);
    QCOMPARE(QString::fromStdString(model.Caption), progressTitle);
    QCOMPARE(splash.isVisible(), shown);
    QVERIFY(splash.windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(splash.windowFlags() & Qt::FramelessWindowHint);
    if (!shown) {
      QCOMPARE(splash.size(), QSize(795, 687));
      return;
    }
    QCOMPARE(splash.size(), size);
    QLabel* visible = picture == "HalvernImage" ? splash.HalvernImage : splash.DorvikImage;
    QLabel* hidden = picture == "HalvernImage" ? splash.DorvikImage : splash.HalvernImage;
    QVERIFY(visible->isVisible());
    QVERIFY(!hidden->isVisible());
    QCOMPARE(visible->geometry(), QRect(QPoint(0, 0), size));
    QVERIFY(!visible->pixmap().isNull());

    // A click on the company picture hides the splash; one on the second does nothing.
    QTest::mouseClick(visible, Qt::LeftButton);
    QCOMPARE(splash.isVisible(), picture == "DorvikImage");
  }
};

static RegisterGuiTest<SplashFormTest> registerSplashFormTest;

}  // namespace zarnik

#include "splash_form_test.moc"
