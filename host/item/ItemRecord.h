// A log item as the host reads it from its stream form: what routing and the
// store need, plus everything else the stream holds, so that nothing a client
// sent is dropped unseen.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Guid.h"

namespace hv::host {

// Variant type codes that the stream form treats specially.
enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
};

// One variant value of the stream. Numbers keep their raw little-endian bits;
// every other type travels as text.
struct VariantValue {
  enum class Form { Fixed, Text, NullObject };
  uint16_t vt = VT_EMPTY;
  Form form = Form::Text;
  uint8_t fixedSize = 0;   // 1, 2, 4 or 8 for Form::Fixed
  uint64_t fixedBits = 0;  // the raw bytes, zero-extended
  std::u16string text;     // Form::Text
  bool nullText = false;   // a count of 0: a null string
};

struct ExtendedParam {
  std::u16string name;
  uint16_t declaredType = VT_EMPTY;
  VariantValue value;
};

struct ItemRecord {
  uint32_t version = 2;
  std::u16string location;
  std::u16string provider;
  std::u16string messageText;
  std::u16string userName;
  std::u16string helpFile;
  double dateTime = 0.0;
  int32_t severity = 0;
  int32_t audience = 0;
  int32_t verbosity = 0;
  uint32_t helpContext = 0;
  Guid errorGuid;
  int32_t messageId = -1;
  std::vector<VariantValue> arguments;
  uint32_t childBlockSize = 0;
  std::unique_ptr<ItemRecord> child;
  std::vector<ExtendedParam> extended;
  bool hasUserDescription = false;
  VariantValue userDescription;
};

}  // namespace hv::host
