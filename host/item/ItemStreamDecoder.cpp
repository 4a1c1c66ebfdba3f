#include "item/ItemStreamDecoder.h"

namespace hv::host {
namespace {

// Bytes of data behind the type code for the numeric variant types; 0 for
// the types that travel as text or as an object.
uint8_t FixedSize(uint16_t vt) {
  switch (vt) {
    case VT_I1: case VT_UI1:
      return 1;
    case VT_I2: case VT_BOOL: case VT_UI2:
      return 2;
    case VT_I4: case VT_R4: case VT_ERROR: case VT_UI4: case VT_INT: case VT_UINT:
      return 4;
    case VT_R8: case VT_CY: case VT_DATE: case VT_I8: case VT_UI8:
      return 8;
    default:
      return 0;
  }
}

// The smallest encoding of one variant value (a type code and a null text),
// used to refuse counts that the remaining bytes cannot hold.
constexpr size_t kMinVariantSize = 2 + 1;
// A name (count 4 bytes), a declared type (4) and a variant value (at least 3).
constexpr size_t kMinExtendedSize = 4 + 4 + kMinVariantSize;

}  // namespace

bool ItemStreamDecoder::Decode(const uint8_t* data, size_t size, ItemRecord* item, std::string* error) {
  ItemStreamDecoder d(data, size, 0, error);
  *item = ItemRecord();
  if (!d.Item(item, 0)) return false;
  if (d.reader_.remaining() != 0)
    return d.Fail(std::to_string(d.reader_.remaining()) + " bytes follow the end of the item");
  return true;
}

bool ItemStreamDecoder::Fail(const std::string& what) {
  *error_ = "item stream: " + what + " at byte " + std::to_string(Offset());
  return false;
}

bool ItemStreamDecoder::U32(const char* what, uint32_t* v) {
  if (!reader_.u32(v)) return Fail(std::string("stream ends inside ") + what);
  return true;
}

bool ItemStreamDecoder::CountedString(const char* what, std::u16string* text, bool* isNull) {
  uint32_t n;
  if (!U32(what, &n)) return false;
  if (isNull) *isNull = (n == 0);
  text->clear();
  if (n == 0) return true;
  // A count covers whole UTF-16 code units and always the terminating zero.
  if (n % 2 != 0) return Fail(std::string(what) + " has an odd byte count " + std::to_string(n));
  if (n > reader_.remaining())
    return Fail(std::string(what) + " claims " + std::to_string(n) + " bytes but " +
                std::to_string(reader_.remaining()) + " remain");
  const uint8_t* p = reader_.current();
  size_t units = n / 2 - 1;
  if (p[n - 2] != 0 || p[n - 1] != 0) return Fail(std::string(what) + " is not terminated by a zero code unit");
  text->resize(units);
  for (size_t i = 0; i < units; ++i) (*text)[i] = char16_t(p[2 * i] | p[2 * i + 1] << 8);
  reader_.skip(n);
  return true;
}

bool ItemStreamDecoder::Variant(const char* what, VariantValue* value) {
  *value = VariantValue();
  if (!reader_.u16(&value->vt)) return Fail(std::string("stream ends inside the type of ") + what);
  if (value->vt == VT_DISPATCH || value->vt == VT_UNKNOWN) {
    // An object value is its class id followed by data of the object's own
    // making, with no length: only the null object (a zero class id) can be
    // read without the object's class, and items never carry other objects.
    Guid clsid;
    if (!clsid.Read(reader_)) return Fail(std::string("stream ends inside the object of ") + what);
    if (!clsid.IsNull()) return Fail(std::string(what) + " holds an object of class " + clsid.ToRegistryString());
    value->form = VariantValue::Form::NullObject;
    return true;
  }
  uint8_t size = FixedSize(value->vt);
  if (size) {
    uint8_t b[8] = {};
    if (!reader_.bytes(b, size)) return Fail(std::string("stream ends inside the value of ") + what);
    value->form = VariantValue::Form::Fixed;
    value->fixedSize = size;
    for (int i = size - 1; i >= 0; --i) value->fixedBits = value->fixedBits << 8 | b[i];
    return true;
  }
  value->form = VariantValue::Form::Text;
  return CountedString(what, &value->text, &value->nullText);
}

bool ItemStreamDecoder::Item(ItemRecord* item, int depth) {
  if (!U32("the version", &item->version)) return false;
  // Version 2 is what every writer produces; version 1 is the older form
  // without the user description. Anything else is not an item stream.
  if (item->version != 1 && item->version != 2)
    return Fail("unknown version " + std::to_string(item->version));
  if (!CountedString("the location", &item->location, nullptr) ||
      !CountedString("the provider", &item->provider, nullptr) ||
      !CountedString("the message text", &item->messageText, nullptr) ||
      !CountedString("the user name", &item->userName, nullptr) ||
      !CountedString("the help file", &item->helpFile, nullptr))
    return false;
  if (!reader_.f64(&item->dateTime) || !reader_.i32(&item->severity) || !reader_.i32(&item->audience) ||
      !reader_.i32(&item->verbosity) || !reader_.u32(&item->helpContext) || !item->errorGuid.Read(reader_) ||
      !reader_.i32(&item->messageId))
    return Fail("stream ends inside the fixed fields");

  uint32_t argumentCount;
  if (!U32("the argument count", &argumentCount)) return false;
  if (argumentCount > reader_.remaining() / kMinVariantSize)
    return Fail("argument count " + std::to_string(argumentCount) + " exceeds what the stream can hold");
  item->arguments.resize(argumentCount);
  for (auto& argument : item->arguments)
    if (!Variant("an insertion argument", &argument)) return false;

  if (!U32("the child size", &item->childBlockSize)) return false;
  if (item->childBlockSize) {
    if (item->childBlockSize > reader_.remaining())
      return Fail("child block claims " + std::to_string(item->childBlockSize) + " bytes but " +
                  std::to_string(reader_.remaining()) + " remain");
    if (depth + 1 > kMaxChildDepth) return Fail("children nest deeper than " + std::to_string(kMaxChildDepth));
    // The child is read from the start of its block; the bytes after it are
    // filler up to the block size.
    ItemStreamDecoder child(reader_.current(), item->childBlockSize, Offset(), error_);
    item->child = std::make_unique<ItemRecord>();
    if (!child.Item(item->child.get(), depth + 1)) return false;
    reader_.skip(item->childBlockSize);
  }

  uint32_t extendedCount;
  if (!U32("the extended parameter count", &extendedCount)) return false;
  if (extendedCount > reader_.remaining() / kMinExtendedSize)
    return Fail("extended parameter count " + std::to_string(extendedCount) + " exceeds what the stream can hold");
  item->extended.resize(extendedCount);
  for (auto& param : item->extended) {
    if (!CountedString("an extended parameter name", &param.name, nullptr)) return false;
    uint32_t declared;
    if (!U32("an extended parameter type", &declared)) return false;
    if (declared > 0xFFFF) return Fail("extended parameter type " + std::to_string(declared) + " is not a variant type");
    param.declaredType = uint16_t(declared);
    if (!Variant("an extended parameter value", &param.value)) return false;
  }

  item->hasUserDescription = item->version == 2;
  if (item->hasUserDescription && !Variant("the user description", &item->userDescription)) return false;
  return true;
}

}  // namespace hv::host
