// Reads an item stream, the byte form in which a log item travels: version
// word, five counted strings, the fixed fields, insertion arguments, the child
// block, the extended parameters and, in version 2, the user description.
//
// Nothing a client sends is trusted: every count is checked against the bytes
// that remain before anything is allocated, and every malformed stream is
// refused with a sentence saying what is wrong and where.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/ByteStream.h"
#include "item/ItemRecord.h"

namespace hv::host {

class ItemStreamDecoder {
 public:
  // Children nest; a chain deeper than this is refused rather than followed.
  static constexpr int kMaxChildDepth = 16;

  // The whole buffer must be one item stream: bytes left over after it are
  // refused, since a message body holds exactly one item.
  static bool Decode(const uint8_t* data, size_t size, ItemRecord* item, std::string* error);

 private:
  ItemStreamDecoder(const uint8_t* data, size_t size, size_t base, std::string* error)
      : reader_(data, size), base_(base), error_(error) {}

  bool Item(ItemRecord* item, int depth);
  bool CountedString(const char* what, std::u16string* text, bool* isNull);
  bool Variant(const char* what, VariantValue* value);
  bool U32(const char* what, uint32_t* v);
  bool Fail(const std::string& what);
  size_t Offset() const { return base_ + reader_.position(); }

  ByteReader reader_;
  size_t base_;  // offset of this reader's first byte in the outermost stream
  std::string* error_;
};

}  // namespace hv::host
