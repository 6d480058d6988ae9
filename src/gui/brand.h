// The brand table: which titles the main and progress windows get and which
// picture the splash window shows, from BrandCode (settings position 23).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zarnik {

enum class BrandPicture { None, Halvern, Dorvik };

struct BrandChoice {
  // False when position 23 is absent: the windows keep the titles they were built with.
  bool setTitles = false;
  std::string mainTitle;
  std::string progressTitle;
  BrandPicture picture = BrandPicture::None;  // None: no splash
  int width = 0;
  int height = 0;
};

inline BrandChoice ChooseBrand(std::optional<int32_t> brandCode) {
  if (!brandCode) return {};
  switch (*brandCode) {
    case 0:
      return {true,
              "Halvern Inc :- Zarnik",
              "Halvern Inc :- File Upload Progress",
              BrandPicture::Halvern,
              600,
              400};
    case 100:
      return {true, "Dorvik :- Zarnik", "Dorvik :- File Upload Progress", BrandPicture::Dorvik, 800,
              700};
    default:
      return {true, "Zarnik", "Zarnik", BrandPicture::None, 0, 0};
  }
}

}  // namespace zarnik
