// A strict reader of one JSON text, for tests that check what hvdiag prints
// as JSON lines: it refuses anything that is not JSON, so a line that parses
// is valid, and its fields can then be compared.
#pragma once
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hv::test {

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // UTF-8
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json& operator[](const std::string& name) const {
    static const Json missing;
    auto found = fields.find(name);
    return found == fields.end() ? missing : found->second;
  }
  bool has(const std::string& name) const { return fields.count(name) != 0; }

  // Parses the whole text; false for anything that is not exactly one value.
  static bool Parse(const std::string& source, Json* value) {
    size_t at = 0;
    if (!ParseValue(source, &at, value, 0)) return false;
    SkipSpace(source, &at);
    return at == source.size();
  }

 private:
  static void SkipSpace(const std::string& s, size_t* at) {
    while (*at < s.size() && (s[*at] == ' ' || s[*at] == '\t' || s[*at] == '\n' || s[*at] == '\r')) ++*at;
  }
  static void PutUtf8(unsigned code, std::string* out) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  static bool Hex4(const std::string& s, size_t at, unsigned* code) {
    if (at + 4 > s.size()) return false;
    *code = 0;
    for (size_t i = at; i < at + 4; ++i) {
      const char c = s[i];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      *code = *code * 16 + static_cast<unsigned>(digit);
    }
    return true;
  }
  static bool ParseString(const std::string& s, size_t* at, std::string* out) {
    if (*at >= s.size() || s[*at] != '"') return false;
    ++*at;
    while (*at < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[*at]);
      if (c == '"') return ++*at, true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        ++*at;
        continue;
      }
      if (++*at >= s.size()) return false;
      const char e = s[(*at)++];
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(s, *at, &code)) return false;
          *at += 4;
          if (code >= 0xD800 && code < 0xDC00) {
            unsigned low = 0;
            if (s.compare(*at, 2, "\\u") != 0 || !Hex4(s, *at + 2, &low) || low < 0xDC00 || low > 0xDFFF)
              return false;
            *at += 6;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          PutUtf8(code, out);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  static bool ParseValue(const std::string& s, size_t* at, Json* v, int depth) {
    if (depth > 64) return false;
    SkipSpace(s, at);
    if (*at >= s.size()) return false;
    const char c = s[*at];
    if (c == '{') {
      v->kind = Kind::kObject;
      ++*at;
      SkipSpace(s, at);
      if (*at < s.size() && s[*at] == '}') return ++*at, true;
      for (;;) {
        SkipSpace(s, at);
        std::string name;
        if (!ParseString(s, at, &name)) return false;
        SkipSpace(s, at);
        if (*at >= s.size() || s[*at] != ':') return false;
        ++*at;
        Json field;
        if (!ParseValue(s, at, &field, depth + 1)) return false;
        v->fields[name] = field;
        SkipSpace(s, at);
        if (*at < s.size() && s[*at] == ',') {
          ++*at;
          continue;
        }
        if (*at < s.size() && s[*at] == '}') return ++*at, true;
        return false;
      }
    }
    if (c == '[') {
      v->kind = Kind::kArray;
      ++*at;
      SkipSpace(s, at);
      if (*at < s.size() && s[*at] == ']') return ++*at, true;
      for (;;) {
        Json item;
        if (!ParseValue(s, at, &item, depth + 1)) return false;
        v->items.push_back(item);
        SkipSpace(s, at);
        if (*at < s.size() && s[*at] == ',') {
          ++*at;
          continue;
        }
        if (*at < s.size() && s[*at] == ']') return ++*at, true;
        return false;
      }
    }
    if (c == '"') {
      v->kind = Kind::kString;
      return ParseString(s, at, &v->text);
    }
    for (const char* word : {"true", "false", "null"}) {
      const size_t n = std::char_traits<char>::length(word);
      if (s.compare(*at, n, word) == 0) {
        *at += n;
        v->kind = word[0] == 'n' ? Kind::kNull : Kind::kBool;
        v->boolean = word[0] == 't';
        return true;
      }
    }
    // A number as JSON writes it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    const size_t start = *at;
    if (*at < s.size() && s[*at] == '-') ++*at;
    if (*at >= s.size() || !isdigit(static_cast<unsigned char>(s[*at]))) return false;
    if (s[*at] == '0') ++*at;
    else while (*at < s.size() && isdigit(static_cast<unsigned char>(s[*at]))) ++*at;
    if (*at < s.size() && s[*at] == '.') {
      ++*at;
      if (*at >= s.size() || !isdigit(static_cast<unsigned char>(s[*at]))) return false;
      while (*at < s.size() && isdigit(static_cast<unsigned char>(s[*at]))) ++*at;
    }
    if (*at < s.size() && (s[*at] == 'e' || s[*at] == 'E')) {
      ++*at;
      if (*at < s.size() && (s[*at] == '+' || s[*at] == '-')) ++*at;
      if (*at >= s.size() || !isdigit(static_cast<unsigned char>(s[*at]))) return false;
      while (*at < s.size() && isdigit(static_cast<unsigned char>(s[*at]))) ++*at;
    }
    v->kind = Kind::kNumber;
    v->number = std::strtod(s.substr(start, *at - start).c_str(), nullptr);
    return true;
  }
};

}  // namespace hv::test
