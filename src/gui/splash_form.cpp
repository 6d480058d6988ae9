#include "gui/splash_form.h"

#include <QEvent>
#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include "app/settings.h"
#include "gui/progress_form.h"
#include "platform/host.h"

namespace zarnik {

QImage TSplashForm::LoadPicture(const char* path) {
  QImageReader reader(QString::fromLatin1(path));
  return reader.read();
}

TSplashForm::TSplashForm(Host& host, QWidget& mainWindow, TProgressForm& progressForm,
                         const std::string& settingsPath)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setObjectName("SplashForm");
  resize(kDesignWidth, kDesignHeight);

  // Both pictures fill the window; the second lies above the first.
  auto picture = [this](const char* name, const char* path) {
    auto* label = new QLabel(this);
    label->setObjectName(name);
    label->setGeometry(rect());
    label->setScaledContents(true);
    label->setPixmap(QPixmap::fromImage(LoadPicture(path)));
    return label;
  };
  HalvernImage = picture("HalvernImage", kHalvernPicture);
  DorvikImage = picture("DorvikImage", kDorvikPicture);
  HalvernImage->installEventFilter(this);

  brand_ = ChooseBrand(ReadBrandCode(settingsPath));
  if (brand_.setTitles) {
    mainWindow.setWindowTitle(QString::fromStdString(brand_.mainTitle));
    progressForm.SetCaption(QString::fromStdString(brand_.progressTitle));
  }
  if (brand_.picture == BrandPicture::None) return;

  (brand_.picture == BrandPicture::Halvern ? DorvikImage : HalvernImage)->hide();
  resize(brand_.width, brand_.height);
  HalvernImage->setGeometry(rect());
  DorvikImage->setGeometry(rect());
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  show();
  host.ProcessMessages();
  host.Sleep(kHoldMs);
  host.ProcessMessages();
}

void TSplashForm::HalvernImageClick() {
  hide();
}

bool TSplashForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == HalvernImage && event->type() == QEvent::MouseButtonRelease) {
    HalvernImageClick();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace zarnik
