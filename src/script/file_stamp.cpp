#include "script/file_stamp.h"

#include <sys/stat.h>

#include <array>
#include <cstdio>

namespace zarnik::script {

namespace {
PathResolver pathResolver = nullptr;
}

void SetPathResolver(PathResolver resolver) { pathResolver = resolver; }

OpenedFile OpenForRead(const std::string& path) {
  return OpenRegularFile(pathResolver ? pathResolver(path) : path);
}

uint64_t StreamSize(std::FILE* f) {
  struct stat st {};
  if (fstat(fileno(f), &st) != 0 || st.st_size < 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool MeasureStream(std::FILE* f, FileMeasure& out) {
  std::array<unsigned char, 8192> buf;
  uint32_t sum = 0;
  uint64_t size = 0;
  for (;;) {
    size_t n = std::fread(buf.data(), 1, buf.size(), f);
    for (size_t i = 0; i < n; ++i) sum += buf[i];
    size += n;
    if (n < buf.size()) break;
  }
  if (std::ferror(f)) return false;
  out.checksum = static_cast<uint16_t>(sum & 0xFFFF);
  out.size = size;
  return true;
}

uint8_t DataChecksum8(const uint8_t* data, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

DosDateTime PackDosDateTime(const std::tm& local) {
  int year = local.tm_year + 1900;
  if (year < 1980) return {static_cast<uint16_t>((1 << 5) | 1), 0};
  if (year > 2107)
    return {static_cast<uint16_t>((127 << 9) | (12 << 5) | 31),
            static_cast<uint16_t>((23 << 11) | (59 << 5) | 29)};
  DosDateTime p;
  p.date = static_cast<uint16_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  // A leap second (60) would count 30; the field holds 0 to 29.
  int twoSeconds = local.tm_sec / 2 > 29 ? 29 : local.tm_sec / 2;
  p.time = static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | twoSeconds);
  return p;
}

std::string FormatDateStamp(DosDateTime packed) {
  unsigned day = packed.date & 0x1F;
  unsigned month = (packed.date >> 5) & 0x0F;
  unsigned year = 1980 + (packed.date >> 9);
  unsigned twoSeconds = packed.time & 0x1F;
  unsigned minutes = (packed.time >> 5) & 0x3F;
  unsigned hours = packed.time >> 11;
  char text[40];
  std::snprintf(text, sizeof text, "%u/%u/%04u_%u:%02u:%02u", month, day, year, hours, minutes,
                twoSeconds);
  return text;
}

bool FileDateStamp(std::FILE* f, std::string& stamp) {
  struct stat st {};
  if (fstat(fileno(f), &st) != 0) return false;
  std::tm local{};
  time_t mtime = st.st_mtime;
  if (!localtime_r(&mtime, &local)) return false;
  stamp = FormatDateStamp(PackDosDateTime(local));
  return true;
}

}  // namespace zarnik::script
