// zarnik-brand-art: draws the two splash pictures at build time, so the repository
// carries no binary artwork. Writes halvern.bmp (600 x 400, 24-bit) and dorvik.jpg
// (800 x 700) into the folder given as its argument; with --icons, the desktop
// entry's icon as zarnik-48.png, zarnik-128.png and zarnik-256.png instead.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>

#include "gui/fonts.h"

namespace {

using zarnik::PixelFont;

void Circuit(QPainter& p, const QRectF& area, const QColor& colour, int seed) {
  // A few right-angled traces with pads, like a board's copper, seeded so the
  // picture is the same on every build.
  p.setPen(QPen(colour, 2));
  unsigned s = static_cast<unsigned>(seed);
  auto next = [&s] { return (s = s * 1103515245u + 12345u) >> 16; };
  for (int i = 0; i < 22; ++i) {
    QPointF a(area.left() + next() % int(area.width()), area.top() + next() % int(area.height()));
    QPointF b(a.x() + (int(next() % 160) - 80), a.y());
    QPointF c(b.x(), b.y() + (int(next() % 120) - 60));
    p.drawPolyline(QList<QPointF>{a, b, c});
    p.setBrush(colour);
    p.drawEllipse(c, 4, 4);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(a, 5, 5);
  }
}

// A gradient from `from` at the top left towards `to` along `direction`, with traces.
void Ground(QPainter& p, const QImage& img, QPointF direction, QColor from, QColor to,
            QColor traces, int seed) {
  QLinearGradient ground(QPointF(0, 0), direction);
  ground.setColorAt(0, from);
  ground.setColorAt(1, to);
  p.fillRect(img.rect(), ground);
  Circuit(p, QRectF(img.rect()), traces, seed);
}

void Write(QPainter& p, const char* family, int pixels, const QRectF& box, int align,
           const QString& text) {
  p.setFont(PixelFont(family, pixels));
  p.drawText(box, align, text);
}

QImage Halvern() {
  QImage img(600, 400, QImage::Format_RGB888);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  Ground(p, img, QPointF(0, 400), QColor(12, 36, 84), QColor(4, 12, 32), QColor(40, 90, 160), 7);

  // The company mark: a ring holding an H.
  QPointF centre(150, 170);
  QRadialGradient glow(centre, 90);
  glow.setColorAt(0, QColor(255, 200, 60, 220));
  glow.setColorAt(1, QColor(255, 120, 0, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(glow);
  p.drawEllipse(centre, 90, 90);
  p.setPen(QPen(QColor(255, 230, 160), 8));
  p.setBrush(QColor(20, 50, 110));
  p.drawEllipse(centre, 62, 62);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 230, 160));
  p.drawRect(QRectF(118, 130, 16, 80));
  p.drawRect(QRectF(166, 130, 16, 80));
  p.drawRect(QRectF(118, 162, 64, 16));

  p.setPen(QColor(255, 240, 210));
  Write(p, zarnik::kFormFontFamily, 56, QRectF(240, 110, 350, 70), Qt::AlignLeft | Qt::AlignVCenter,
        "Halvern");
  Write(p, zarnik::kFormFontFamily, 26, QRectF(244, 175, 350, 40), Qt::AlignLeft | Qt::AlignVCenter,
        "Incorporated");
  p.setPen(QColor(255, 200, 60));
  p.drawLine(40, 290, 560, 290);
  Write(p, zarnik::kTitleFontFamily, 34, QRectF(0, 300, 600, 50), Qt::AlignCenter, "ZARNIK");
  p.setPen(QColor(170, 190, 230));
  Write(p, zarnik::kFormFontFamily, 16, QRectF(0, 350, 600, 30), Qt::AlignCenter,
        "Firmware loader  -  starting, please wait");
  return img;
}

QImage Dorvik() {
  QImage img(800, 700, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  Ground(p, img, QPointF(800, 700), QColor(18, 64, 58), QColor(6, 22, 20), QColor(30, 110, 96), 11);

  // The mark: three stacked chevrons.
  p.setPen(Qt::NoPen);
  for (int i = 0; i < 3; ++i) {
    QPainterPath chevron;
    double y = 150 + i * 60;
    chevron.moveTo(290, y);
    chevron.lineTo(400, y + 70);
    chevron.lineTo(510, y);
    chevron.lineTo(510, y + 30);
    chevron.lineTo(400, y + 100);
    chevron.lineTo(290, y + 30);
    chevron.closeSubpath();
    p.setBrush(QColor(240, 140 + i * 30, 40));
    p.drawPath(chevron);
  }
  p.setPen(QColor(250, 245, 230));
  Write(p, zarnik::kFormFontFamily, 96, QRectF(0, 400, 800, 120), Qt::AlignCenter, "DORVIK");
  p.setPen(QColor(240, 170, 60));
  p.drawLine(120, 530, 680, 530);
  Write(p, zarnik::kTitleFontFamily, 40, QRectF(0, 545, 800, 60), Qt::AlignCenter, "Zarnik");
  p.setPen(QColor(160, 210, 200));
  Write(p, zarnik::kFormFontFamily, 20, QRectF(0, 615, 800, 40), Qt::AlignCenter,
        "Firmware loader");
  return img;
}

// The menu icon: a chip taking a load, drawn on a 256-unit grid and scaled, so each
// size is drawn rather than resampled.
QImage Icon(int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 256.0, size / 256.0);

  QLinearGradient ground(QPointF(0, 0), QPointF(0, 256));
  ground.setColorAt(0, QColor(20, 58, 120));
  ground.setColorAt(1, QColor(6, 18, 44));
  p.setPen(Qt::NoPen);
  p.setBrush(ground);
  p.drawRoundedRect(QRectF(8, 8, 240, 240), 40, 40);

  // The chip and its pins.
  p.setBrush(QColor(190, 200, 215));
  for (int i = 0; i < 5; ++i) {
    p.drawRect(QRectF(70 + i * 26, 100, 12, 140));
    p.drawRect(QRectF(46, 124 + i * 22, 164, 10));
  }
  p.setBrush(QColor(34, 40, 52));
  p.setPen(QPen(QColor(120, 140, 170), 4));
  p.drawRoundedRect(QRectF(64, 118, 128, 112), 10, 10);

  // The load: an arrow coming down into the chip.
  QPainterPath arrow;
  arrow.moveTo(108, 28);
  arrow.lineTo(148, 28);
  arrow.lineTo(148, 112);
  arrow.lineTo(180, 112);
  arrow.lineTo(128, 172);
  arrow.lineTo(76, 112);
  arrow.lineTo(108, 112);
  arrow.closeSubpath();
  p.setPen(QPen(QColor(120, 50, 0), 4));
  p.setBrush(QColor(255, 170, 40));
  p.drawPath(arrow);
  return img;
}

bool Save(const QImage& img, const QString& path, const char* format) {
  QImageWriter writer(path, format);
  if (QByteArray(format) == "jpg") writer.setQuality(88);
  if (writer.write(img)) return true;
  std::fprintf(stderr, "zarnik-brand-art: cannot write %s: %s\n", qPrintable(path),
               qPrintable(writer.errorString()));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const bool icons = argc == 3 && QByteArray(argv[1]) == "--icons";
  if (argc != 2 && !icons) {
    std::fprintf(stderr, "usage: zarnik-brand-art [--icons] OUTDIR\n");
    return 2;
  }
  // Text needs fonts, fonts need a GUI application; no display is needed.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  zarnik::InstallFontSubstitutions();
  QDir dir(QString::fromLocal8Bit(argv[argc - 1]));
  if (!dir.mkpath(".")) return 1;
  if (icons) {
    bool ok = true;
    for (int size : {48, 128, 256})
      ok = Save(Icon(size), dir.filePath(QString("zarnik-%1.png").arg(size)), "png") && ok;
    return ok ? 0 : 1;
  }
  bool ok = Save(Halvern(), dir.filePath("halvern.bmp"), "bmp");
  ok = Save(Dorvik(), dir.filePath("dorvik.jpg"), "jpg") && ok;
  return ok ? 0 : 1;
}
