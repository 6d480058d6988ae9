#include "sim_unit.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace zarnik::sim {

namespace {

constexpr uint64_t kNsPerMs = 1'000'000;
constexpr uint64_t kBitsPerByte = 10;  // start, 8 data, stop
// A driver that stops asking for a long while gets at most this many missed unsolicited texts.
constexpr uint64_t kMaxUnsolicitedBacklog = 4;
// What a load reserves for its data before the bytes arrive.
constexpr uint32_t kReserveAtStart = 64 * 1024;

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kBs = '\b';
constexpr char kTab = '\t';
constexpr char kDel = 0x7F;

bool IsBlank(char c) { return c == ' ' || c == kTab; }

std::string Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (IsBlank(text[begin]) || text[begin] == kCr || text[begin] == kLf)) ++begin;
  while (end > begin && (IsBlank(text[end - 1]) || text[end - 1] == kCr || text[end - 1] == kLf))
    --end;
  return std::string(text.substr(begin, end - begin));
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

struct Token {
  std::string_view text;
  size_t end;  // offset just past the token in the line
};

std::vector<Token> Tokens(std::string_view line) {
  std::vector<Token> tokens;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    size_t start = pos;
    while (pos < line.size() && !IsBlank(line[pos])) ++pos;
    if (pos > start) tokens.push_back({line.substr(start, pos - start), pos});
  }
  return tokens;
}

// Decimal, no sign, at most `limit`.
std::optional<uint32_t> ParseDecimal(std::string_view text, uint32_t limit) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > limit) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// Hexadecimal without prefix (the host writes it with %x), at most ffff.
std::optional<uint16_t> ParseChecksum(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * 16 + static_cast<uint32_t>(digit);
    if (value > 0xFFFF) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

uint16_t ByteSum(const std::vector<uint8_t>& data) {
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  return static_cast<uint16_t>(sum & 0xFFFF);
}

}  // namespace

struct SimUnit::Command {
  std::string_view name;
  void (*run)(SimUnit& unit, uint64_t atMs);
};

namespace {
// Fixed query texts; kept out of the command table so the table stays one line per command.
constexpr std::string_view kVersionText = "ZK-UNIT FW 2.13 BUILD 0412";
constexpr std::string_view kStatusText = "STATUS OK TEMP 41C";
constexpr std::string_view kSerialPrefix = "SERIAL NO ";
}  // namespace

const SimUnit::Command SimUnit::kCommands[] = {
    {"VER", [](SimUnit& u, uint64_t at) { u.Answer(std::string(kVersionText), at); }},
    {"STAT", [](SimUnit& u, uint64_t at) { u.Answer(std::string(kStatusText), at); }},
    {"SN", [](SimUnit& u, uint64_t at) { u.Answer(std::string(kSerialPrefix) + u.options_.serialNumber, at); }},
    {"MODE", [](SimUnit& u, uint64_t at) { u.ReplyMode(at); }},
    {"HELP", [](SimUnit& u, uint64_t at) { u.ReplyHelp(at); }},
    {"EXIT", [](SimUnit& u, uint64_t at) { u.ExitLoader(at); }},
};

SimUnit::SimUnit(SimUnitOptions options) : options_(std::move(options)) {
  dead_ = HangUpReached();
}

void SimUnit::Start(uint64_t nowMs) { AdvanceClock(nowMs); }

void SimUnit::AdvanceClock(uint64_t nowMs) {
  if (!clockStarted_ || nowMs > nowMs_) {
    // The schedule counts from the last time seen before it was switched on (or the start).
    if (UnsolicitedEnabled() && !nextUnsolicitedMs_)
      nextUnsolicitedMs_ = (clockStarted_ ? nowMs_ : nowMs) + options_.unsolicitedEveryMs;
    nowMs_ = nowMs;
  }
  clockStarted_ = true;
}

bool SimUnit::HangUpReached() const {
  return options_.hangUpAfterBytes >= 0 &&
         received_.size() >= static_cast<uint64_t>(options_.hangUpAfterBytes);
}

void SimUnit::GoDead() {
  dead_ = true;
  output_.clear();
  nextUnsolicitedMs_.reset();
}

void SimUnit::Disconnect() {
  options_.absent = true;
  output_.clear();
  dataMissing_ = 0;
  line_.clear();
  nextUnsolicitedMs_.reset();
}

std::string NextSerialNumber(const std::string& serial) {
  size_t end = serial.size();
  while (end > 0 && !std::isdigit(static_cast<unsigned char>(serial[end - 1]))) --end;
  if (end == 0) return serial + "-2";
  std::string next = serial;
  size_t i = end;
  for (;;) {
    --i;
    if (next[i] != '9') {
      ++next[i];
      return next;
    }
    next[i] = '0';
    if (i == 0 || !std::isdigit(static_cast<unsigned char>(next[i - 1]))) {
      next.insert(i, "1");
      return next;
    }
  }
}

void SimUnit::Receive(const uint8_t* data, size_t n, uint64_t nowMs) {
  if (dead_) return;
  AdvanceClock(nowMs);
  QueueUnsolicited(nowMs_);
  for (size_t i = 0; i < n; ++i) {
    if (HangUpReached()) break;
    received_.push_back(static_cast<char>(data[i]));
    HandleByte(data[i], nowMs_);
  }
  if (HangUpReached()) GoDead();
}

void SimUnit::TakeOutput(uint64_t nowMs, std::string& out) {
  if (dead_) return;
  AdvanceClock(nowMs);
  QueueUnsolicited(nowMs_);
  while (!output_.empty() && output_.front().dueMs <= nowMs_) {
    out.push_back(output_.front().byte);
    output_.pop_front();
  }
}

std::optional<uint64_t> SimUnit::NextOutputTime() const {
  if (dead_) return std::nullopt;
  std::optional<uint64_t> next = UnsolicitedDue();
  if (!output_.empty() && (!next || output_.front().dueMs < *next)) next = output_.front().dueMs;
  return next;
}

void SimUnit::HandleByte(uint8_t byte, uint64_t nowMs) {
  if (dataMissing_ > 0) {
    TakeDataByte(byte, nowMs);
  } else {
    HandleLineByte(byte, nowMs);
  }
}

void SimUnit::HandleLineByte(uint8_t byte, uint64_t nowMs) {
  const char c = static_cast<char>(byte);
  if (c == kCr) {
    RunLine(nowMs);
  } else if (c == kBs || c == kDel) {
    if (!line_.empty()) {
      line_.pop_back();
      Emit("\b \b", nowMs);
    }
  } else if (c == kTab || (byte >= 0x20 && byte < 0x7F)) {
    // An overlong line keeps its first kMaxLineLength characters and is refused at its CR.
    if (line_.size() >= kMaxLineLength) {
      lineOverflow_ = true;
      return;
    }
    line_.push_back(c);
    Emit(std::string(1, c), nowMs);
  }
  // LF (CR LF line ends) and other control bytes are ignored.
}

void SimUnit::TakeDataByte(uint8_t byte, uint64_t nowMs) {
  images_.back().data.push_back(byte);
  if (--dataMissing_ == 0) FinishLoad(nowMs + options_.replyDelayMs);
}

void SimUnit::RunLine(uint64_t nowMs) {
  std::string line;
  line.swap(line_);
  const bool overflow = lineOverflow_;
  lineOverflow_ = false;
  lines_.push_back(line);
  if (options_.absent) return;  // nobody there to run it

  const uint64_t atMs = nowMs + options_.replyDelayMs;
  if (overflow) {
    Answer("LINE TOO LONG", atMs);
    return;
  }
  const std::string command = Trim(line);
  if (command.empty()) {
    Emit(std::string("\r\n") + Prompt(), atMs);
  } else if (Upper(command) == Upper(Trim(options_.loaderModeCmd))) {
    EnterLoader(atMs);
  } else {
    RunCommand(command, atMs);
  }
}

void SimUnit::RunCommand(const std::string& command, uint64_t atMs) {
  const std::vector<Token> tokens = Tokens(command);
  if (tokens.size() == 1) {
    const std::string word = Upper(tokens[0].text);
    for (const Command& entry : kCommands) {
      if (entry.name == word) {
        entry.run(*this, atMs);
        return;
      }
    }
  }
  if (loader_ && tokens.size() >= 2) {
    StartLoad(command, atMs);
    return;
  }
  Answer("UNKNOWN COMMAND", atMs);
}

void SimUnit::StartLoad(const std::string& line, uint64_t atMs) {
  const std::vector<Token> tokens = Tokens(line);
  std::optional<uint32_t> size;
  std::optional<uint16_t> checksum;
  if (tokens.size() >= 4) {
    size = ParseDecimal(tokens[2].text, kMaxLoadSize);
    checksum = ParseChecksum(tokens[3].text);
  }
  if (!size || !checksum) {
    Answer("BAD LOAD LINE", atMs);
    return;
  }
  LoadedImage image;
  image.loadWord = std::string(tokens[0].text);
  image.address = std::string(tokens[1].text);
  image.version = Trim(std::string_view(line).substr(tokens[3].end));
  image.size = *size;
  image.checksum = *checksum;
  // The announced size is only a promise: memory follows the bytes that arrive, so
  // a stray line announcing 64 MB costs nothing until the bytes come.
  image.data.reserve(std::min<uint32_t>(*size, kReserveAtStart));
  images_.push_back(std::move(image));
  dataMissing_ = *size;
  if (dataMissing_ == 0) FinishLoad(atMs);
}

void SimUnit::FinishLoad(uint64_t atMs) {
  LoadedImage& image = images_.back();
  image.complete = true;
  image.ok = !options_.wrongChecksum && image.data.size() == image.size &&
             ByteSum(image.data) == image.checksum;
  if (image.ok) {
    Answer("LOAD OK", atMs);
  } else {
    // Dropping to monitor mode makes the failure visible to a host that waits for '>'.
    loader_ = false;
    Answer("CHECKSUM ERROR", atMs);
  }
}

void SimUnit::EnterLoader(uint64_t atMs) {
  if (options_.neverLoader) {
    Emit(std::string("\r\n") + Prompt(), atMs);
    return;
  }
  loader_ = true;
  Answer("LOADER READY", atMs);
}

void SimUnit::ExitLoader(uint64_t atMs) {
  loader_ = false;
  Answer("MONITOR READY", atMs);
}

void SimUnit::ReplyMode(uint64_t atMs) {
  Answer(loader_ ? "MODE LOADER" : "MODE MONITOR", atMs);
}

void SimUnit::ReplyHelp(uint64_t atMs) {
  std::string text = "COMMANDS";
  for (const Command& entry : kCommands) {
    text += ' ';
    text += entry.name;
  }
  text += ' ';
  text += Upper(Trim(options_.loaderModeCmd));
  Answer(text, atMs);
}

char SimUnit::Prompt() const { return loader_ ? options_.loaderPrompt : options_.monitorPrompt; }

void SimUnit::Answer(const std::string& text, uint64_t atMs) {
  Emit("\r\n" + text + "\r\n" + Prompt(), atMs);
}

void SimUnit::Emit(const std::string& bytes, uint64_t atMs) {
  if (dead_ || options_.absent || bytes.empty()) return;
  // Anything the unit would have printed by itself before this goes out first.
  QueueUnsolicited(atMs);
  const uint32_t baud = options_.baud;
  for (char c : bytes) {
    uint64_t due = atMs;
    if (baud == 0) {
      lineFreeNs_ = atMs * kNsPerMs;
    } else {
      const uint64_t byteNs = kBitsPerByte * 1'000'000'000ull / baud;
      const uint64_t endNs = std::max(atMs * kNsPerMs, lineFreeNs_) + byteNs;
      lineFreeNs_ = endNs;
      due = (endNs + kNsPerMs - 1) / kNsPerMs;
    }
    if (!output_.empty()) due = std::max(due, output_.back().dueMs);
    output_.push_back({due, c});
  }
}

bool SimUnit::UnsolicitedEnabled() const {
  return !dead_ && !options_.absent && !options_.unsolicited.empty() &&
         options_.unsolicitedEveryMs != 0;
}

std::optional<uint64_t> SimUnit::UnsolicitedDue() const {
  if (!UnsolicitedEnabled()) return std::nullopt;
  if (nextUnsolicitedMs_) return nextUnsolicitedMs_;
  return nowMs_ + options_.unsolicitedEveryMs;
}

void SimUnit::QueueUnsolicited(uint64_t uptoMs) {
  const uint64_t every = options_.unsolicitedEveryMs;
  if (!UnsolicitedEnabled()) {
    nextUnsolicitedMs_.reset();
    return;
  }
  if (!nextUnsolicitedMs_) nextUnsolicitedMs_ = nowMs_ + every;
  uint64_t due = *nextUnsolicitedMs_;
  if (due > uptoMs) return;
  const uint64_t missed = (uptoMs - due) / every;
  if (missed > kMaxUnsolicitedBacklog) due += (missed - kMaxUnsolicitedBacklog) * every;
  // Set the next time first: Emit calls back here and must find nothing due.
  for (; due <= uptoMs; due += every) {
    nextUnsolicitedMs_ = due + every;
    // A load's data is coming in: the unit is busy and says nothing by itself.
    if (dataMissing_ == 0) Emit(options_.unsolicited, due);
  }
}

}  // namespace zarnik::sim
