// What the fuzz targets share: a check that aborts (libFuzzer and the replay
// driver both report an abort with the input that caused it), a reader that takes
// structured values off the front of an input, and a private scratch folder.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace zarnik::fuzz {

// Takes values off the front of the input; past its end every value is 0.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  bool Empty() const { return left_ == 0; }
  size_t Left() const { return left_; }
  uint8_t U8() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  // At most n bytes.
  std::string_view Bytes(size_t n) {
    if (n > left_) n = left_;
    std::string_view out(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    left_ -= n;
    return out;
  }

 private:
  const uint8_t* p_;
  size_t left_;
};

// One folder per process, removed when the process ends normally.
class ScratchFolder {
 public:
  static ScratchFolder& Get() {
    static ScratchFolder folder;
    return folder;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, std::string_view bytes) const {
    const std::string path = Path(name);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    FUZZ_CHECK(std::fclose(f) == 0);
    return path;
  }

 private:
  ScratchFolder()
      : dir_(std::filesystem::temp_directory_path() /
             ("zarnik_fuzz_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::filesystem::path dir_;
};

}  // namespace zarnik::fuzz
