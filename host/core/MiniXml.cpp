#include "core/MiniXml.h"

#include <cstdint>

#include "core/Utf.h"

namespace hv::host {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':'; }

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }


// The characters XML lets a document hold.
bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

class Reader {
 public:
  Reader(std::string_view text, std::string* error) : s_(text), error_(error) {}

  bool Document(XmlElement* root) {
    // A byte-order mark may survive the conversion from UTF-16.
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    if (s_.substr(pos_, 5) == "<?xml" && pos_ + 5 < s_.size() && IsSpace(s_[pos_ + 5])) {
      size_t end = s_.find("?>", pos_);
      if (end == std::string_view::npos) return Fail("the XML declaration is not closed");
      pos_ = end + 2;
    }
    if (!Misc()) return false;
    if (pos_ >= s_.size()) return Fail("the document has no element");
    if (s_[pos_] != '<') return Fail("text before the first element");
    if (!Element(root, 1)) return false;
    if (!Misc()) return false;
    if (pos_ < s_.size()) return Fail("more after the end of the document's element");
    return true;
  }

 private:
  bool Fail(const std::string& what) {
    *error_ = MiniXml::Where(s_, pos_) + ": " + what;
    return false;
  }

  bool Starts(std::string_view what) const { return s_.substr(pos_, what.size()) == what; }

  void SkipSpace() {
    while (pos_ < s_.size() && IsSpace(s_[pos_])) ++pos_;
  }

  // Whitespace and comments outside the element; anything else of XML's
  // prolog is not used by the host's documents.
  bool Misc() {
    for (;;) {
      SkipSpace();
      if (Starts("<!--")) {
        if (!Comment()) return false;
      } else if (Starts("<?")) {
        return Fail("processing instructions are not allowed");
      } else if (Starts("<!")) {
        return Fail("DOCTYPE and other declarations are not allowed");
      } else {
        return true;
      }
    }
  }

  bool Comment() {
    size_t end = s_.find("--", pos_ + 4);
    if (end == std::string_view::npos) return Fail("the comment is not closed");
    if (end + 2 >= s_.size() || s_[end + 2] != '>') {
      pos_ = end;
      return Fail("\"--\" inside a comment");
    }
    pos_ = end + 3;
    return true;
  }

  bool Name(std::string* name) {
    if (pos_ >= s_.size() || !IsNameStart(s_[pos_])) return Fail("a name was expected");
    size_t start = pos_;
    while (pos_ < s_.size() && IsNameChar(s_[pos_])) ++pos_;
    name->assign(s_.substr(start, pos_ - start));
    return true;
  }

  // One reference after its "&": the five predefined entities and
  // character references.
  bool Reference(std::string* out) {
    size_t start = pos_;
    size_t end = s_.find(';', pos_);
    if (end == std::string_view::npos || end - pos_ > 12) return Fail("\"&\" that does not start a reference");
    std::string_view ref = s_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    if (ref == "lt") return *out += '<', true;
    if (ref == "gt") return *out += '>', true;
    if (ref == "amp") return *out += '&', true;
    if (ref == "quot") return *out += '"', true;
    if (ref == "apos") return *out += '\'', true;
    if (ref.size() >= 2 && ref[0] == '#') {
      bool hex = ref[1] == 'x';
      std::string_view digits = ref.substr(hex ? 2 : 1);
      uint32_t c = 0;
      bool ok = !digits.empty() && digits.size() <= 8;
      for (char d : digits) {
        uint32_t v;
        if (d >= '0' && d <= '9') v = uint32_t(d - '0');
        else if (hex && d >= 'a' && d <= 'f') v = uint32_t(d - 'a' + 10);
        else if (hex && d >= 'A' && d <= 'F') v = uint32_t(d - 'A' + 10);
        else ok = false, v = 0;
        c = c * (hex ? 16 : 10) + v;
      }
      if (ok && IsXmlChar(c)) {
        PutUtf8(*out, c);
        return true;
      }
      pos_ = start;
      return Fail("&" + std::string(ref) + "; is not a character XML allows");
    }
    pos_ = start;
    return Fail("unknown entity &" + std::string(ref) + ";");
  }

  // A character of text or of an attribute value; control characters other
  // than tab and line ends are refused.
  bool Char(std::string* out, bool attribute) {
    unsigned char c = static_cast<unsigned char>(s_[pos_]);
    if (c == '\r') {
      // Line ends read as "\n", as every XML reader delivers them.
      ++pos_;
      if (pos_ < s_.size() && s_[pos_] == '\n') ++pos_;
      *out += attribute ? ' ' : '\n';
      return true;
    }
    if (c < 0x20 && c != '\t' && c != '\n') return Fail("control character " + std::to_string(c) + " in the text");
    *out += (attribute && (c == '\t' || c == '\n')) ? ' ' : char(c);
    ++pos_;
    return true;
  }

  bool AttributeValue(std::string* value) {
    if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\'')) return Fail("an attribute value in quotes was expected");
    char quote = s_[pos_++];
    for (;;) {
      if (pos_ >= s_.size()) return Fail("the attribute value is not closed");
      char c = s_[pos_];
      if (c == quote) break;
      if (c == '<') return Fail("\"<\" inside an attribute value");
      if (c == '&') {
        if (!Reference(value)) return false;
      } else if (!Char(value, true)) {
        return false;
      }
    }
    ++pos_;
    return true;
  }

  bool Element(XmlElement* e, int depth) {
    if (depth > MiniXml::kMaxDepth)
      return Fail("elements nest deeper than " + std::to_string(MiniXml::kMaxDepth) + " levels");
    e->offset = pos_;
    ++pos_;  // '<'
    if (!Name(&e->name)) return false;
    for (;;) {
      size_t before = pos_;
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("the start tag of <" + e->name + "> is not closed");
      if (Starts("/>")) {
        pos_ += 2;
        return true;
      }
      if (s_[pos_] == '>') {
        ++pos_;
        break;
      }
      if (pos_ == before) return Fail("a space was expected before the attribute");
      std::string name, value;
      size_t at = pos_;
      if (!Name(&name)) return false;
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '=') return Fail("\"=\" was expected after attribute " + name);
      ++pos_;
      SkipSpace();
      if (!AttributeValue(&value)) return false;
      if (e->Attribute(name)) {
        pos_ = at;
        return Fail("attribute " + name + " appears twice");
      }
      e->attributes.emplace_back(std::move(name), std::move(value));
    }
    // Content up to the matching end tag.
    for (;;) {
      if (pos_ >= s_.size()) return Fail("<" + e->name + "> is not closed");
      if (Starts("</")) {
        pos_ += 2;
        std::string name;
        size_t at = pos_;
        if (!Name(&name)) return false;
        if (name != e->name) {
          pos_ = at;
          return Fail("</" + name + "> closes <" + e->name + ">");
        }
        SkipSpace();
        if (pos_ >= s_.size() || s_[pos_] != '>') return Fail("\">\" was expected to end </" + name + ">");
        ++pos_;
        return true;
      }
      if (Starts("<!--")) {
        if (!Comment()) return false;
      } else if (Starts("<![CDATA[")) {
        size_t end = s_.find("]]>", pos_ + 9);
        if (end == std::string_view::npos) return Fail("the CDATA section is not closed");
        pos_ += 9;
        while (pos_ < end)
          if (!Char(&e->text, false)) return false;
        pos_ = end + 3;
      } else if (Starts("<?")) {
        return Fail("processing instructions are not allowed");
      } else if (Starts("<!")) {
        return Fail("declarations are not allowed inside an element");
      } else if (s_[pos_] == '<') {
        e->children.emplace_back();
        if (!Element(&e->children.back(), depth + 1)) return false;
      } else if (s_[pos_] == '&') {
        if (!Reference(&e->text)) return false;
      } else if (Starts("]]>")) {
        return Fail("\"]]>\" outside a CDATA section");
      } else if (!Char(&e->text, false)) {
        return false;
      }
    }
  }

  std::string_view s_;
  std::string* error_;
  size_t pos_ = 0;
};

}  // namespace

const std::string* XmlElement::Attribute(std::string_view name) const {
  for (const auto& a : attributes)
    if (a.first == name) return &a.second;
  return nullptr;
}

bool MiniXml::Parse(std::string_view text, XmlElement* root, std::string* error) {
  *root = XmlElement();
  return Reader(text, error).Document(root);
}

std::string MiniXml::Where(std::string_view text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      // Columns count characters, not the bytes of their UTF-8 form.
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace hv::host
