// A small, strict XML reader for the short documents clients send the host
// (filter documents). It reads elements, attributes, character data,
// character and the five predefined entity references, CDATA sections and
// comments, and an XML declaration at the very start. Everything else that
// XML allows — a DOCTYPE, entity declarations, processing instructions — is
// refused, so a document can never make the host expand or fetch anything.
//
// The text is UTF-8 (the host converts the UTF-16 it receives); an error
// names the line and column (in characters, both from 1) where reading
// stopped.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hv::host {

struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // in document order, names unique
  std::vector<XmlElement> children;
  // The character data directly inside the element, references resolved and
  // CDATA included, line ends as "\n".
  std::string text;
  // The byte offset of its start tag's "<", for MiniXml::Where.
  size_t offset = 0;

  const std::string* Attribute(std::string_view name) const;
};

class MiniXml {
 public:
  // Elements nest at most this deep; deeper documents are refused rather
  // than followed.
  static constexpr int kMaxDepth = 16;

  // Reads a whole document. On failure `error` is
  // "line L, column C: what is wrong".
  static bool Parse(std::string_view text, XmlElement* root, std::string* error);
  // "line L, column C" of a byte offset in `text`.
  static std::string Where(std::string_view text, size_t offset);
};

}  // namespace hv::host
