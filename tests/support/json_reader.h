// A strict JSON reader for tests that check what the programs write: the whole
// text must be one value, strings must be valid UTF-8 without raw control
// characters, escapes (\uXXXX with surrogate pairs too) are decoded. Small and
// slow on purpose; not for the programs themselves.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarnik::testing {

struct JsonValue {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  // An object's members in their order: keys[i] names values[i]. (Two vectors: a
  // vector of pairs would need JsonValue complete here.)
  std::vector<std::string> keys;
  std::vector<JsonValue> values;

  bool Has(const std::string& key) const {
    for (const auto& k : keys)
      if (k == key) return true;
    return false;
  }
  // A missing member or item reads as null.
  const JsonValue& operator[](const std::string& key) const {
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return values[i];
    return Null();
  }
  const JsonValue& operator[](size_t i) const { return i < items.size() ? items[i] : Null(); }
  static const JsonValue& Null() {
    static const JsonValue null;
    return null;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  std::optional<JsonValue> Parse(std::string* error) {
    JsonValue v;
    bool ok = Value(v, 0);
    Space();
    if (ok && i_ == s_.size()) return v;
    if (error) *error = "bad JSON at byte " + std::to_string(i_);
    return std::nullopt;
  }

 private:
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool Eat(char c) {
    Space();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  bool Value(JsonValue& v, int depth) {
    if (depth > 64) return false;
    Space();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') return Object(v, depth);
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v.type = JsonValue::Type::kString;
      return String(v.text);
    }
    if (Word("true") || Word("false")) {
      v.type = JsonValue::Type::kBool;
      v.boolean = c == 't';
      return true;
    }
    if (Word("null")) return true;
    return Number(v);
  }
  bool Object(JsonValue& v, int depth) {
    v.type = JsonValue::Type::kObject;
    ++i_;
    if (Eat('}')) return true;
    do {
      std::string key;
      Space();
      if (i_ >= s_.size() || s_[i_] != '"' || !String(key) || !Eat(':')) return false;
      JsonValue member;
      if (!Value(member, depth + 1)) return false;
      v.keys.push_back(std::move(key));
      v.values.push_back(std::move(member));
    } while (Eat(','));
    return Eat('}');
  }
  bool Array(JsonValue& v, int depth) {
    v.type = JsonValue::Type::kArray;
    ++i_;
    if (Eat(']')) return true;
    do {
      JsonValue item;
      if (!Value(item, depth + 1)) return false;
      v.items.push_back(std::move(item));
    } while (Eat(','));
    return Eat(']');
  }
  bool Number(JsonValue& v) {
    const size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    auto digits = [&] {
      size_t from = i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      return i_ > from;
    };
    if (i_ < s_.size() && s_[i_] == '0')
      ++i_;
    else if (!digits())
      return false;
    if (i_ < s_.size() && s_[i_] == '.' && (++i_, !digits())) return false;
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (!digits()) return false;
    }
    v.type = JsonValue::Type::kNumber;
    v.number = std::strtod(std::string(s_.substr(start, i_ - start)).c_str(), nullptr);
    return true;
  }
  bool Hex4(uint32_t& out) {
    if (i_ + 4 > s_.size()) return false;
    out = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[i_++];
      out <<= 4;
      if (h >= '0' && h <= '9')
        out |= h - '0';
      else if (h >= 'a' && h <= 'f')
        out |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F')
        out |= h - 'A' + 10;
      else
        return false;
    }
    return true;
  }
  static void PutUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  // One raw UTF-8 character, checked for well-formedness.
  bool RawUtf8(std::string& out) {
    const unsigned char c = static_cast<unsigned char>(s_[i_]);
    int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i_ + n > s_.size()) return false;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (int k = 1; k < n; ++k) {
      const unsigned char d = static_cast<unsigned char>(s_[i_ + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.append(s_.substr(i_, n));
    i_ += n;
    return true;
  }
  bool String(std::string& out) {
    ++i_;  // the opening quote
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        if (!RawUtf8(out)) return false;
        continue;
      }
      if (++i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo;
            if (!Word("\\u") || !Hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          PutUtf8(cp, out);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  std::string_view s_;
  size_t i_ = 0;
};

inline std::optional<JsonValue> ParseJson(std::string_view text, std::string* error = nullptr) {
  return JsonReader(text).Parse(error);
}

}  // namespace zarnik::testing
