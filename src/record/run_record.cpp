#include "record/run_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>


namespace zarnik {

// ---- JsonWriter ----

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

std::string JsonWriter::Quote(std::string_view value) {
  std::string out = "\"";
  for (size_t i = 0; i < value.size();) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    const size_t n = Utf8Length(value, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(value.substr(i, n));
      i += n;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out + "\"";
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (first_.empty()) return;
  if (!first_.back()) text_ += ',';
  first_.back() = false;
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  text_ += '{';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  text_ += '}';
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  text_ += '[';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  text_ += ']';
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  text_ += Quote(key) + ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  BeforeValue();
  text_ += Quote(value);
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Number(double value, int decimals) {
  if (!std::isfinite(value)) return Raw("null");
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return Raw(text);
}

JsonWriter& JsonWriter::Bool(bool value) {
  return Raw(value ? "true" : "false");
}

JsonWriter& JsonWriter::Raw(std::string_view json) {
  BeforeValue();
  text_ += json;
  return *this;
}

// ---- Records ----

std::string IsoTimeUtc(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char withMs[48];
  std::snprintf(withMs, sizeof withMs, "%s.%03dZ", text,
                static_cast<int>((ms % 1000 + 1000) % 1000));
  return withMs;
}

std::optional<std::chrono::system_clock::time_point> ParseIsoTimeUtc(std::string_view text) {
  std::tm utc{};
  int ms = 0;
  int used = 0;
  const std::string s(text);
  if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                  &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &used) != 6)
    return std::nullopt;
  std::string_view rest = text.substr(static_cast<size_t>(used));
  if (rest.size() == 5 && rest[0] == '.') {
    for (char c : rest.substr(1, 3)) {
      if (c < '0' || c > '9') return std::nullopt;
      ms = ms * 10 + (c - '0');
    }
    rest.remove_prefix(4);
  }
  if (rest != "Z") return std::nullopt;
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  const std::time_t seconds = timegm(&utc);
  return std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(ms);
}

const char* OutcomeOf(int exitStatus) {
  switch (exitStatus) {
    case 0:
      return "completed";
    case 2:
      return "not started";
    default:
      return "failed";
  }
}

std::string RecordJson(const UnitRecord& r, bool withHistory) {
  JsonWriter w;
  w.BeginObject();
  if (withHistory) {
    w.Key("id").Number(r.id);
    w.Key("station").String(r.station);
    w.Key("adapter");
    if (r.adapter) {
      w.String(*r.adapter);
    } else {
      w.Raw("null");
    }
    w.Key("script_sha256").String(r.scriptSha256);
  }
  w.Key("unit").String(r.unit);
  w.Key("script").String(r.script);
  w.Key("port").String(r.port);
  w.Key("baud").Number(static_cast<int64_t>(r.baud));
  w.Key("start").String(IsoTimeUtc(r.start));
  w.Key("end").String(IsoTimeUtc(r.end));
  w.Key("outcome").String(OutcomeOf(r.exitStatus));
  w.Key("exit_status").Number(static_cast<int64_t>(r.exitStatus));
  w.Key("message").String(r.message);
  w.Key("errors").BeginArray();
  for (const std::string& e : r.errors) w.String(e);
  w.EndArray();
  w.Key("files").BeginArray();
  for (const FileRecord& f : r.files) {
    w.BeginObject();
    w.Key("path").String(f.path);
    w.Key("size").Number(f.size);
    w.Key("checksum").String(f.checksum);
    w.Key("address").String(f.address);
    w.Key("version").String(f.version);
    w.Key("sha256").String(f.sha256);
    w.Key("blocks").Number(static_cast<int64_t>(f.blocks));
    w.Key("seconds").Number(f.seconds, 3);
    if (f.board >= 0) w.Key("board").Number(static_cast<int64_t>(f.board));
    w.EndObject();
  }
  w.EndArray();
  w.Key("replies").BeginArray();
  for (const ReplyRecord& q : r.replies) {
    w.BeginObject();
    w.Key("query").String(q.query);
    w.Key("reply").String(q.reply);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return w.Text();
}

std::string ReportJson(const std::vector<std::string>& records) {
  JsonWriter w;
  w.BeginObject().Key("units").BeginArray();
  for (const std::string& r : records) w.Raw(r);
  w.EndArray().EndObject();
  return w.Text() + "\n";
}

// ---- The file ----

namespace {

std::string TempPathFor(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path p(path);
  std::string name = "." + p.filename().string() + ".tmp-" + std::to_string(getpid());
  return (p.parent_path() / name).string();
}

std::string CannotWrite(const std::string& what, const std::string& path, const std::string& why) {
  return "cannot write " + what + " " + path + ": " + why;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& what, const std::string& text,
                         std::string& error) {
  // Said of the file asked for: the temporary one is gone by the time anyone reads it.
  auto fail = [&](int why) {
    error = CannotWrite(what, path, std::strerror(why));
    return false;
  };
  const std::string temp = TempPathFor(path);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(errno);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = done == text.size() && fsync(fd) == 0;
  const int writeErrno = errno;
  if (close(fd) != 0 || !written) {
    const int why = written ? errno : writeErrno;
    unlink(temp.c_str());
    return fail(why);
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const int why = errno;
    unlink(temp.c_str());
    return fail(why);
  }
  return true;
}

bool WriteReport(const std::string& path, const std::string& json, std::ostream& out,
                 std::string& error) {
  if (path != kReportToStdout) return WriteFileAtomically(path, "report", json, error);
  out << json << std::flush;
  if (out) return true;
  error = "cannot write the report to stdout";
  return false;
}

bool CanWriteFile(const std::string& path, const std::string& what, std::string& error) {
  if (std::filesystem::is_directory(path)) {
    error = CannotWrite(what, path, "it is a folder");
    return false;
  }
  const std::string temp = TempPathFor(path);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = CannotWrite(what, path, std::strerror(errno));
    return false;
  }
  close(fd);
  unlink(temp.c_str());
  return true;
}

}  // namespace zarnik
