#include "item/ItemStreamIo.h"

#include <algorithm>
#include <cstring>

#include "TAVDiagnostics.h"
#include "common/ByteStream.h"
#include "common/Result.h"
#include "common/Unique.h"

namespace hv {
namespace {

// Counts up to this many entries are always taken at their word; a larger
// one must not exceed the bytes left in the stream.
constexpr uint32_t kAlwaysPlausibleCount = 65536;
// A counted string longer than this cannot become a BSTR on any platform.
constexpr uint32_t kLargestStringBytes = 0x7FFFFFFF;

// Data size of the variant types stored as raw bytes; 0 for the others.
ULONG FixedSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_BOOL:
    case VT_UI2:
      return 2;
    case VT_I4:
    case VT_R4:
    case VT_ERROR:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
      return 8;
    default:
      return 0;
  }
}

bool IsObject(VARTYPE vt) { return vt == VT_DISPATCH || vt == VT_UNKNOWN; }

// Values without a fixed size travel as their text.
HRESULT ToText(const VARIANT& value, unique_bstr* text) {
  unique_variant converted;
  RETURN_IF_FAILED(VariantChangeType(converted.get(), const_cast<VARIANT*>(&value), VARIANT_NOVALUEPROP, VT_BSTR));
  text->reset(converted->bstrVal);
  converted->vt = VT_EMPTY;
  return S_OK;
}

// Byte count N of a counted string holding these code units.
uint64_t TextCount(const unique_bstr& text) { return 2ull * SysStringLen(text.get()) + 2; }

// A BSTR value keeps its exact byte length, embedded zeros included.
uint32_t BstrCount(BSTR value) { return value ? SysStringByteLen(value) + 2 : 0; }

}  // namespace

// A save gathers the whole item before its one Write; room for a typical
// item is taken at once rather than grown field by field.
constexpr size_t kSaveReserveBytes = 2048;

ItemStreamIo::ItemStreamIo(IStream* stream, Mode mode) : stream_(stream), mode_(mode) {
  if (mode == Mode::kSave) buffer_.reserve(kSaveReserveBytes);
  if (mode != Mode::kLoad) return;
  // A memory stream is read in place: no call into the stream per field.
  STATSTG stat = {};
  ULARGE_INTEGER position = {};
  const LARGE_INTEGER zero = {};
  if (FAILED(GetHGlobalFromStream(stream, &memory_)) || FAILED(stream->Stat(&stat, STATFLAG_NONAME)) ||
      FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &position)) || stat.cbSize.QuadPart > GlobalSize(memory_) ||
      !(view_ = static_cast<const uint8_t*>(GlobalLock(memory_)))) {
    memory_ = nullptr;
    return;
  }
  viewSize_ = stat.cbSize.QuadPart;
  position_ = position.QuadPart;
}

ItemStreamIo::~ItemStreamIo() {
  if (view_) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(position_);
    stream_->Seek(position, STREAM_SEEK_SET, nullptr);
    GlobalUnlock(memory_);
  }
}

HRESULT ItemStreamIo::Put(const void* data, size_t n) {
  ByteWriter(&buffer_).bytes(data, n);
  return S_OK;
}

HRESULT ItemStreamIo::Flush() {
  if (mode_ != Mode::kSave || buffer_.empty()) return S_OK;
  ULONG written = 0;
  const ULONG n = static_cast<ULONG>(buffer_.size());
  const HRESULT hr = stream_->Write(buffer_.data(), n, &written);
  buffer_.clear();
  RETURN_IF_FAILED(hr);
  RETURN_HR_IF(E_FAIL, written != n);
  return S_OK;
}

HRESULT ItemStreamIo::Get(void* data, ULONG n) {
  if (n == 0) return S_OK;
  if (view_) {
    // As the stream's Read: a short read delivers what there is and ends at the end.
    const uint64_t available = std::min<uint64_t>(n, Remaining());
    if (available) std::memcpy(data, view_ + position_, static_cast<size_t>(available));
    position_ += available;
    return available == n ? S_OK : E_FAIL;
  }
  ULONG read = 0;
  const HRESULT hr = stream_->Read(data, n, &read);
  RETURN_IF_FAILED(hr);
  // A stream that ends early answers S_FALSE or simply delivers less.
  RETURN_HR_IF(E_FAIL, hr == S_FALSE || read < n);
  return S_OK;
}

HRESULT ItemStreamIo::Seek(LONG offset) {
  if (view_) {
    // Only ever back over bytes just read.
    position_ = offset < 0 && static_cast<uint64_t>(-static_cast<int64_t>(offset)) > position_ ? 0 : position_ + offset;
    return S_OK;
  }
  LARGE_INTEGER move;
  move.QuadPart = offset;
  return stream_->Seek(move, STREAM_SEEK_CUR, nullptr);
}

uint64_t ItemStreamIo::Remaining() const {
  if (view_) return viewSize_ > position_ ? viewSize_ - position_ : 0;
  STATSTG stat = {};
  ULARGE_INTEGER position = {};
  LARGE_INTEGER zero = {};
  if (FAILED(stream_->Seek(zero, STREAM_SEEK_CUR, &position)) || FAILED(stream_->Stat(&stat, STATFLAG_NONAME)))
    return UINT64_MAX;
  return stat.cbSize.QuadPart > position.QuadPart ? stat.cbSize.QuadPart - position.QuadPart : 0;
}

bool ItemStreamIo::PlausibleCount(uint32_t count) const {
  return count <= kAlwaysPlausibleCount || count <= Remaining();
}

HRESULT ItemStreamIo::U32(uint32_t* value) {
  switch (mode_) {
    case Mode::kMeasure:
      size_ += 4;
      return S_OK;
    case Mode::kSave:
      ByteWriter(&buffer_).u32(*value);
      return S_OK;
    case Mode::kLoad: {
      uint8_t bytes[4];
      RETURN_IF_FAILED(Get(bytes, 4));
      ByteReader(bytes, 4).u32(value);
      return S_OK;
    }
  }
  return E_UNEXPECTED;
}

HRESULT ItemStreamIo::I32(long* value) {
  uint32_t word = static_cast<uint32_t>(*value);
  RETURN_IF_FAILED(U32(&word));
  if (loading()) *value = static_cast<long>(static_cast<int32_t>(word));
  return S_OK;
}

HRESULT ItemStreamIo::Date(double* value) {
  switch (mode_) {
    case Mode::kMeasure:
      size_ += 8;
      return S_OK;
    case Mode::kSave:
      ByteWriter(&buffer_).f64(*value);
      return S_OK;
    case Mode::kLoad: {
      uint8_t bytes[8];
      RETURN_IF_FAILED(Get(bytes, 8));
      ByteReader(bytes, 8).f64(value);
      return S_OK;
    }
  }
  return E_UNEXPECTED;
}

HRESULT ItemStreamIo::Guid(GUID* value) {
  switch (mode_) {
    case Mode::kMeasure:
      size_ += 16;
      return S_OK;
    case Mode::kSave: {
      ByteWriter writer(&buffer_);
      writer.u32(value->Data1);
      writer.u16(value->Data2);
      writer.u16(value->Data3);
      writer.bytes(value->Data4, 8);
      return S_OK;
    }
    case Mode::kLoad: {
      uint8_t bytes[16];
      RETURN_IF_FAILED(Get(bytes, 16));
      ByteReader reader(bytes, 16);
      uint32_t data1 = 0;
      reader.u32(&data1);
      value->Data1 = data1;
      reader.u16(&value->Data2);
      reader.u16(&value->Data3);
      reader.bytes(value->Data4, 8);
      return S_OK;
    }
  }
  return E_UNEXPECTED;
}

HRESULT ItemStreamIo::CountedBytes(const void* data, uint32_t byteCount) {
  ByteWriter writer(&buffer_);
  writer.u32(byteCount + 2);
  writer.bytes(data, byteCount);
  writer.u16(0);
  return S_OK;
}

HRESULT ItemStreamIo::ReadCountedString(BSTR* value) {
  *value = nullptr;
  uint32_t count = 0;
  RETURN_IF_FAILED(U32(&count));
  if (count == 0) return S_OK;  // a null string
  // Whatever fails from here leaves the position before the count.
  if (count > kLargestStringBytes) {
    Seek(-4);
    return E_OUTOFMEMORY;
  }
  if (count > kAlwaysPlausibleCount && count > Remaining()) {
    Seek(-4);
    return E_FAIL;  // the read could only come up short
  }
  // The count includes the terminating zero code unit; the allocation has
  // room for it, so all count bytes land in the string's buffer.
  const UINT byteLength = count >= 2 ? count - 2 : 0;
  BSTR text = SysAllocStringByteLen(nullptr, byteLength);
  if (!text) {
    Seek(-4);
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = Get(text, count);
  if (FAILED(hr)) {
    SysFreeString(text);
    Seek(-4);
    return hr;
  }
  // The stream's terminator is not trusted: the string ends where its count says.
  reinterpret_cast<BYTE*>(text)[byteLength] = 0;
  reinterpret_cast<BYTE*>(text)[byteLength + 1] = 0;
  *value = text;
  return S_OK;
}

HRESULT ItemStreamIo::String(std::wstring* value) {
  switch (mode_) {
    case Mode::kMeasure:
      size_ += 4 + 2ull * value->size() + 2;
      return S_OK;
    case Mode::kSave:
      return CountedBytes(value->data(), static_cast<uint32_t>(value->size() * sizeof(wchar_t)));
    case Mode::kLoad: {
      if (view_) return ReadViewString(value);
      unique_bstr text;
      RETURN_IF_FAILED(ReadCountedString(text.put()));
      if (text)
        value->assign(text.get(), SysStringLen(text.get()));
      else
        value->clear();
      return S_OK;
    }
  }
  return E_UNEXPECTED;
}

// ReadCountedString into a standard string, straight from the stream's
// memory, with the same results and the same position on failure.
HRESULT ItemStreamIo::ReadViewString(std::wstring* value) {
  uint32_t count = 0;
  RETURN_IF_FAILED(U32(&count));
  if (count == 0) {
    value->clear();
    return S_OK;
  }
  if (count > kLargestStringBytes) {
    Seek(-4);
    return E_OUTOFMEMORY;
  }
  if (count > Remaining()) {
    // A count that is plausible is read and comes up short at the end.
    if (count <= kAlwaysPlausibleCount) position_ = viewSize_;
    Seek(-4);
    return E_FAIL;
  }
  const size_t units = (count >= 2 ? count - 2 : 0) / sizeof(wchar_t);
  value->resize(units);
  if (units) std::memcpy(&(*value)[0], view_ + position_, units * sizeof(wchar_t));
  position_ += count;
  return S_OK;
}

HRESULT ItemStreamIo::Variant(VARIANT* value) {
  switch (mode_) {
    case Mode::kMeasure:
      return MeasureVariant(*value);
    case Mode::kSave:
      return WriteVariant(*value);
    case Mode::kLoad:
      return ReadVariant(value);
  }
  return E_UNEXPECTED;
}

HRESULT ItemStreamIo::MeasureVariant(const VARIANT& value) {
  const VARTYPE vt = value.vt;
  size_ += 2;
  if (vt == VT_I8 || vt == VT_UI8) {
    // The 64-bit integers are counted by their text form although their 8
    // bytes are written: readers of the size only need room enough.
    unique_bstr text;
    RETURN_IF_FAILED(ToText(value, &text));
    size_ += 4 + TextCount(text);
    return S_OK;
  }
  if (const ULONG fixed = FixedSize(vt)) {
    size_ += fixed;
    return S_OK;
  }
  if (IsObject(vt)) {
    size_ += 16;
    if (!value.punkVal) return S_OK;
    ULARGE_INTEGER objectSize = {};
    ComPtr<IPersistStream> persist;
    HRESULT hr = value.punkVal->QueryInterface(IID_IPersistStream, persist.put_void());
    if (SUCCEEDED(hr)) {
      hr = persist->GetSizeMax(&objectSize);
    } else {
      ComPtr<IPersistStreamInit> persistInit;
      hr = value.punkVal->QueryInterface(IID_IPersistStreamInit, persistInit.put_void());
      if (SUCCEEDED(hr)) hr = persistInit->GetSizeMax(&objectSize);
    }
    RETURN_IF_FAILED(hr);
    size_ += objectSize.QuadPart;
    return S_OK;
  }
  if (vt == VT_BSTR) {
    size_ += 4 + static_cast<uint64_t>(BstrCount(value.bstrVal));
    return S_OK;
  }
  unique_bstr text;
  RETURN_IF_FAILED(ToText(value, &text));
  size_ += 4 + TextCount(text);
  return S_OK;
}

HRESULT ItemStreamIo::WriteVariant(const VARIANT& value) {
  const VARTYPE vt = value.vt;
  ByteWriter writer(&buffer_);
  writer.u16(vt);
  switch (FixedSize(vt)) {
    case 1:
      writer.u8(value.bVal);
      return S_OK;
    case 2:
      writer.u16(value.uiVal);
      return S_OK;
    case 4:
      writer.u32(value.ulVal);
      return S_OK;
    case 8:
      writer.u64(value.ullVal);
      return S_OK;
  }
  if (IsObject(vt)) return WriteObject(value.punkVal);
  if (vt == VT_BSTR) {
    if (!value.bstrVal) {
      writer.u32(0);
      return S_OK;
    }
    return CountedBytes(value.bstrVal, SysStringByteLen(value.bstrVal));
  }
  unique_bstr text;
  RETURN_IF_FAILED(ToText(value, &text));
  return CountedBytes(text.get(), SysStringLen(text.get()) * sizeof(wchar_t));
}

HRESULT ItemStreamIo::WriteObject(IUnknown* object) {
  if (!object) return Put(&CLSID_NULL, sizeof(CLSID));
  ComPtr<IPersistStream> persist;
  HRESULT hr = object->QueryInterface(IID_IPersistStream, persist.put_void());
  if (FAILED(hr)) {
    // IPersistStreamInit begins with the same methods, which is all the
    // platform's object writer calls.
    hr = object->QueryInterface(IID_IPersistStreamInit, persist.put_void());
    RETURN_IF_FAILED(hr);
  }
  RETURN_IF_FAILED(Flush());
  return OleSaveToStream(persist.get(), stream_);
}

HRESULT ItemStreamIo::ReadObject(VARTYPE vt, VARIANT* value) {
  CLSID clsid;
  RETURN_IF_FAILED(Get(&clsid, sizeof(clsid)));
  value->vt = vt;
  value->punkVal = nullptr;
  // No class (a null object) is what an unregistered class also reads as.
  if (IsEqualCLSID(clsid, CLSID_NULL)) return S_OK;
  // An item never writes itself as an object value (it has no class id to
  // give), so a stream that names the item class is malformed; loading it
  // would only let a hostile stream nest items as deep as it likes.
  RETURN_HR_IF(E_FAIL, IsEqualCLSID(clsid, CLSID_TAVDiagnosticLogItem));
  RETURN_IF_FAILED(Seek(-static_cast<LONG>(sizeof(clsid))));
  // The object reads the stream itself, from where the view stands.
  LARGE_INTEGER start;
  start.QuadPart = static_cast<LONGLONG>(position_);
  if (view_) RETURN_IF_FAILED(stream_->Seek(start, STREAM_SEEK_SET, nullptr));
  void* object = nullptr;
  const HRESULT hr = OleLoadFromStream(stream_, vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &object);
  if (view_) {
    ULARGE_INTEGER end = {};
    const LARGE_INTEGER zero = {};
    if (SUCCEEDED(stream_->Seek(zero, STREAM_SEEK_CUR, &end))) position_ = end.QuadPart;
  }
  if (hr == REGDB_E_CLASSNOTREG) return S_OK;
  RETURN_IF_FAILED(hr);
  value->punkVal = static_cast<IUnknown*>(object);
  return S_OK;
}

HRESULT ItemStreamIo::ReadVariant(VARIANT* value) {
  VariantClear(value);
  uint8_t typeBytes[2];
  RETURN_IF_FAILED(Get(typeBytes, 2));
  VARTYPE vt = 0;
  ByteReader(typeBytes, 2).u16(&vt);
  if (IsObject(vt)) return ReadObject(vt, value);
  if (const ULONG fixed = FixedSize(vt)) {
    uint8_t data[8];
    RETURN_IF_FAILED(Get(data, fixed));
    ByteReader reader(data, fixed);
    value->vt = vt;
    switch (fixed) {
      case 1:
        reader.u8(&value->bVal);
        break;
      case 2:
        reader.u16(&value->uiVal);
        break;
      case 4: {
        uint32_t word = 0;
        reader.u32(&word);
        value->ulVal = word;
        break;
      }
      case 8: {
        uint64_t quad = 0;
        reader.u64(&quad);
        value->ullVal = quad;
        break;
      }
    }
    return S_OK;
  }
  if (vt == VT_EMPTY && view_ && Remaining() >= 4) {
    // Every text converts to an empty value: a text that lies whole in memory
    // is stepped over rather than made into a string first.
    uint32_t count = 0;
    ByteReader(view_ + position_, 4).u32(&count);
    if (count <= kAlwaysPlausibleCount && count <= Remaining() - 4) {
      position_ += 4ull + count;
      return S_OK;
    }
  }
  BSTR text = nullptr;
  const HRESULT hr = ReadCountedString(&text);
  if (FAILED(hr)) {
    Seek(-2);
    return hr;
  }
  value->vt = VT_BSTR;
  value->bstrVal = text;
  if (vt == VT_BSTR) return S_OK;
  return VariantChangeType(value, value, 0, vt);
}

HRESULT ItemStreamIo::Child(ComPtr<IStream>* child) {
  switch (mode_) {
    case Mode::kMeasure:
    case Mode::kSave: {
      uint32_t size = 0;
      if (*child) {
        STATSTG stat = {};
        RETURN_IF_FAILED((*child)->Stat(&stat, STATFLAG_NONAME));
        size = static_cast<uint32_t>(stat.cbSize.QuadPart);
      }
      if (mode_ == Mode::kMeasure) {
        size_ += 4ull + size;
        return S_OK;
      }
      ByteWriter(&buffer_).u32(size);
      if (size == 0) return S_OK;
      // The child's bytes are copied as they are, without parsing them.
      HGLOBAL memory = nullptr;
      RETURN_IF_FAILED(GetHGlobalFromStream(child->get(), &memory));
      const void* data = GlobalLock(memory);
      RETURN_HR_IF_NULL(E_OUTOFMEMORY, data);
      Put(data, size);
      GlobalUnlock(memory);
      return S_OK;
    }
    case Mode::kLoad: {
      child->reset();
      uint32_t size = 0;
      RETURN_IF_FAILED(U32(&size));
      if (size == 0) return S_OK;
      RETURN_HR_IF(E_FAIL, size > kAlwaysPlausibleCount && size > Remaining());
      ComPtr<IStream> stream;
      RETURN_IF_FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()));
      ULARGE_INTEGER streamSize;
      streamSize.QuadPart = size;
      RETURN_IF_FAILED(stream->SetSize(streamSize));
      HGLOBAL memory = nullptr;
      RETURN_IF_FAILED(GetHGlobalFromStream(stream.get(), &memory));
      void* data = GlobalLock(memory);
      RETURN_HR_IF_NULL(E_OUTOFMEMORY, data);
      const HRESULT hr = Get(data, size);
      GlobalUnlock(memory);
      RETURN_IF_FAILED(hr);
      *child = std::move(stream);
      return S_OK;
    }
  }
  return E_UNEXPECTED;
}

}  // namespace hv
