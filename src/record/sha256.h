// SHA-256 digests for the record of a run (libcrypto's), as lower-case hex.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zarnik {

std::string Sha256Hex(std::string_view data);
// The digest of a file's content; nullopt when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::string& path);

}  // namespace zarnik
