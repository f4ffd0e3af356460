// A strict reader of the JSON nbctl prints, for the tests: values are kept as text
// (strings unescaped to UTF-8, numbers and literals as written), objects as ordered
// members. Anything that is not JSON makes Parse fail.
#pragma once

#include <cctype>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nb/text.h"

namespace nbctl_test {

struct JsonValue {
  enum Kind { kString, kNumber, kLiteral, kArray, kObject } kind = kLiteral;
  std::string text;  // string (unescaped), number or literal
  std::string key;                // the member's name, for a member of an object
  std::vector<JsonValue> items;   // an array's values
  std::vector<JsonValue> members; // an object's members, in order

  const JsonValue* Member(std::string_view name) const {
    for (const JsonValue& member : members) {
      if (member.key == name) return &member;
    }
    return nullptr;
  }
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (const JsonValue& member : members) keys.push_back(member.key);
    return keys;
  }
};

class JsonReader {
 public:
  static std::optional<JsonValue> Parse(std::string_view text) {
    JsonReader reader(text);
    JsonValue value;
    if (!reader.Value(&value)) return std::nullopt;
    reader.Space();
    if (reader.at_ != text.size()) return std::nullopt;
    return value;
  }

 private:
  explicit JsonReader(std::string_view text) : text_(text) {}

  void Space() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Eat(char c) {
    Space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Hex4(unsigned* code) {
    if (at_ + 4 > text_.size()) return false;
    *code = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[at_++];
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      *code = *code * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return true;
  }
  bool String(std::string* out) {
    if (!Eat('"')) return false;
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;  // raw control characters are not JSON
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      char e = text_[at_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(&code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (at_ + 2 > text_.size() || text_[at_] != '\\' || text_[at_ + 1] != 'u') return false;
            at_ += 2;
            if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          nb::text::AppendUtf8(*out, code);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Value(JsonValue* value) {
    Space();
    if (at_ >= text_.size()) return false;
    char c = text_[at_];
    if (c == '"') {
      value->kind = JsonValue::kString;
      return String(&value->text);
    }
    if (c == '[') {
      ++at_;
      value->kind = JsonValue::kArray;
      if (Eat(']')) return true;
      do {
        value->items.emplace_back();
        if (!Value(&value->items.back())) return false;
      } while (Eat(','));
      return Eat(']');
    }
    if (c == '{') {
      ++at_;
      value->kind = JsonValue::kObject;
      if (Eat('}')) return true;
      do {
        std::string key;
        Space();
        if (!String(&key) || !Eat(':')) return false;
        JsonValue member;
        if (!Value(&member)) return false;
        member.key = std::move(key);
        value->members.push_back(std::move(member));
      } while (Eat(','));
      return Eat('}');
    }
    for (const char* literal : {"true", "false", "null"}) {
      std::string_view word(literal);
      if (text_.substr(at_, word.size()) == word) {
        at_ += word.size();
        value->kind = JsonValue::kLiteral;
        value->text = literal;
        return true;
      }
    }
    size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
    if (at_ == start || (text_[start] == '-' && at_ == start + 1)) return false;
    value->kind = JsonValue::kNumber;
    value->text = std::string(text_.substr(start, at_ - start));
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace nbctl_test
