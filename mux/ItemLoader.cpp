#include "mux/ItemLoader.h"

#include <cstring>

#include "TAVDiagnostics.h"
#include "common/Result.h"

namespace hv {

HRESULT ItemLoader::Load(const uint8_t* stream, size_t size, IUnknown** item) {
  RETURN_HR_IF_NULL(E_POINTER, item);
  *item = nullptr;
  if (!factory_) {
    RETURN_IF_FAILED(CoGetClassObject(CLSID_TAVDiagnosticLogItem, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                      factory_.put_void()));
  }
  ComPtr<IPersistStream> persist;
  RETURN_IF_FAILED(factory_->CreateInstance(nullptr, IID_IPersistStream, persist.put_void()));
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size ? size : 1);
  RETURN_IF_NULL_ALLOC(memory);
  if (size) {
    void* bytes = GlobalLock(memory);
    std::memcpy(bytes, stream, size);
    GlobalUnlock(memory);
  }
  ComPtr<IStream> source;
  const HRESULT created = CreateStreamOnHGlobal(memory, TRUE, source.put());
  if (FAILED(created)) {
    GlobalFree(memory);
    return created;
  }
  ULARGE_INTEGER length;
  length.QuadPart = size;
  RETURN_IF_FAILED(source->SetSize(length));
  RETURN_IF_FAILED(persist->Load(source.get()));
  return persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(item));
}

}  // namespace hv
