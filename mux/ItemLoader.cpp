#include "mux/ItemLoader.h"

#include <climits>
#include <cstring>

#include "TAVDiagnostics.h"
#include "common/Result.h"

namespace hv {

HRESULT ItemLoader::Load(const uint8_t* stream, size_t size, IUnknown** item) {
  RETURN_HR_IF_NULL(E_POINTER, item);
  *item = nullptr;
  Page page;
  RETURN_IF_FAILED(MakePage(&stream, &size, 1, &page));
  return LoadAt(page.stream.get(), 0, page.ends[0], item);
}

HRESULT ItemLoader::MakePage(const uint8_t* const* streams, const size_t* sizes, size_t count, Page* page) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += sizes[i];
  RETURN_HR_IF(E_OUTOFMEMORY, total > ULONG_MAX);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, total ? total : 1);
  RETURN_IF_NULL_ALLOC(memory);
  page->offsets.clear();
  page->ends.clear();
  auto* bytes = static_cast<uint8_t*>(GlobalLock(memory));
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    page->offsets.push_back(static_cast<ULONG>(at));
    if (sizes[i]) std::memcpy(bytes + at, streams[i], sizes[i]);
    at += sizes[i];
    page->ends.push_back(static_cast<ULONG>(at));
  }
  GlobalUnlock(memory);
  const HRESULT created = CreateStreamOnHGlobal(memory, TRUE, page->stream.put());
  if (FAILED(created)) {
    GlobalFree(memory);
    return created;
  }
  ULARGE_INTEGER length;
  length.QuadPart = total;
  return page->stream->SetSize(length);
}

HRESULT ItemLoader::LoadAt(IStream* page, ULONG offset, ULONG end, IUnknown** item) {
  RETURN_HR_IF_NULL(E_POINTER, item);
  *item = nullptr;
  if (!maker_) {
    // Items are made by an item of the library's own class, which both
    // libraries ship together: no factory call and no time stamp per item.
    ComPtr<IClassFactory> factory;
    RETURN_IF_FAILED(CoGetClassObject(CLSID_TAVDiagnosticLogItem, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                      factory.put_void()));
    RETURN_IF_FAILED(factory->CreateInstance(nullptr, IID_IItemMaker, maker_.put_void()));
  }
  return maker_->MakeLoadedItem(page, offset, end, item);
}

}  // namespace hv
