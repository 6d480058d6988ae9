#include "record/sha256.h"

#include <openssl/evp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace zarnik {

namespace {

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

Digest NewDigest() {
  Digest ctx(EVP_MD_CTX_new());
  if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) ctx.reset();
  return ctx;
}

std::string Finish(EVP_MD_CTX* ctx) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx, digest, &length) != 1) return {};
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace

std::string Sha256Hex(std::string_view data) {
  Digest ctx = NewDigest();
  if (!ctx || EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1) return {};
  return Finish(ctx.get());
}

std::optional<std::string> Sha256OfFile(const std::string& path) {
  // Only a regular file: a device or a pipe could block or never end.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd < 0) return std::nullopt;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fdopen(fd, "rb"), std::fclose);
  Digest ctx = NewDigest();
  if (!file) close(fd);
  if (!file || !ctx) return std::nullopt;
  char buffer[64 * 1024];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
    if (EVP_DigestUpdate(ctx.get(), buffer, n) != 1) return std::nullopt;
  if (std::ferror(file.get())) return std::nullopt;
  std::string hex = Finish(ctx.get());
  if (hex.empty()) return std::nullopt;
  return hex;
}

}  // namespace zarnik
