// TSplashForm: the brand picture at start-up. Built after the main and progress
// windows, it reads BrandCode (settings position 23), sets both windows' titles
// from the brand table and, for the two branded codes, shows its picture and
// holds it for 640 ms. Start-up hides it once the link to the unit is set up; a
// click on the company picture hides it earlier.
#pragma once

#include <QImage>
#include <QWidget>
#include <string>

#include "gui/brand.h"

class QLabel;

namespace zarnik {

class Host;
class TProgressForm;

class TSplashForm : public QWidget {
 public:
  static constexpr int kDesignWidth = 795;
  static constexpr int kDesignHeight = 687;
  static constexpr uint32_t kHoldMs = 640;
  static constexpr const char* kHalvernPicture = ":/brand/halvern.bmp";
  static constexpr const char* kDorvikPicture = ":/brand/dorvik.jpg";

  TSplashForm(Host& host, QWidget& mainWindow, TProgressForm& progressForm,
              const std::string& settingsPath);

  void HalvernImageClick();

  const BrandChoice& Brand() const { return brand_; }
  // Decoded through Qt's image readers; null when a picture could not be read.
  static QImage LoadPicture(const char* path);

  QLabel* HalvernImage;
  QLabel* DorvikImage;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  BrandChoice brand_;
};

}  // namespace zarnik
