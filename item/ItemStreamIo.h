// The field codec of the item stream. One object runs in one of three modes
// (measure, save, load), so that the item's field list is written down once
// and the three directions cannot disagree about order or size.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <oaidl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/ComPtr.h"

namespace hv {

class ItemStreamIo final {
 public:
  enum class Mode { kMeasure, kSave, kLoad };

  // stream is null when measuring.
  ItemStreamIo(IStream* stream, Mode mode);
  // A load from memory leaves the stream's position behind what it read.
  ~ItemStreamIo();
  ItemStreamIo(const ItemStreamIo&) = delete;
  ItemStreamIo& operator=(const ItemStreamIo&) = delete;

  Mode mode() const { return mode_; }
  bool loading() const { return mode_ == Mode::kLoad; }
  // Bytes counted while measuring.
  uint64_t size() const { return size_; }

  // Each call measures, writes or reads one field; the first failure is the
  // result of the whole operation.
  HRESULT U32(uint32_t* value);
  HRESULT I32(long* value);
  HRESULT Date(double* value);
  HRESULT Guid(GUID* value);
  // A standard string field: never null when written, a null string reads
  // back as empty.
  HRESULT String(std::wstring* value);
  // A variant value: type code, then data by type (objects in their OLE
  // stream form, everything without a fixed size as text).
  HRESULT Variant(VARIANT* value);
  // The child block: its size, then the child's own stream bytes, copied raw.
  HRESULT Child(ComPtr<IStream>* child);

  // Writes what saving buffered. Also called on failure, so that the stream
  // holds everything written before the failing field.
  HRESULT Flush();

  // Whether a table of count entries read from the stream may be allocated:
  // a hostile count must not make a load reserve gigabytes for a stream of a
  // few bytes, so a large count must not exceed the bytes left.
  bool PlausibleCount(uint32_t count) const;

 private:
  HRESULT Put(const void* data, size_t n);
  HRESULT Get(void* data, ULONG n);
  HRESULT Seek(LONG offset);
  HRESULT CountedBytes(const void* data, uint32_t byteCount);  // N, bytes, 00 00
  HRESULT ReadCountedString(BSTR* value);
  HRESULT ReadViewString(std::wstring* value);
  HRESULT MeasureVariant(const VARIANT& value);
  HRESULT WriteVariant(const VARIANT& value);
  HRESULT ReadVariant(VARIANT* value);
  HRESULT WriteObject(IUnknown* object);
  HRESULT ReadObject(VARTYPE vt, VARIANT* value);
  // Bytes left between the stream's position and its end, or UINT64_MAX when
  // the stream cannot tell.
  uint64_t Remaining() const;

  IStream* stream_;
  Mode mode_;
  uint64_t size_ = 0;
  std::vector<uint8_t> buffer_;  // saving: bytes not yet written to stream_
  // Loading from a memory stream: its bytes, read in place, and the read
  // position within them, handed back to the stream at the end.
  HGLOBAL memory_ = nullptr;
  const uint8_t* view_ = nullptr;
  uint64_t viewSize_ = 0;
  uint64_t position_ = 0;
};

}  // namespace hv
