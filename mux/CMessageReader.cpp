#include "mux/CMessageReader.h"

#include <algorithm>

#include "common/Result.h"

namespace hv {

const QIEntry CMessageReader::kInterfaces[] = {
    HV_QI_ENTRY(CMessageReader, ITAVDiagnosticReader), HV_QI_ENTRY_IID(CMessageReader, IID_IEnumUnknown, ITAVDiagnosticReader),
    HV_QI_ENTRY(CMessageReader, ISupportErrorInfo), HV_QI_END};

CMessageReader::CMessageReader(std::unique_ptr<RemoteReader> reader, LONG direction)
    : reader_(std::move(reader)), direction_(direction) {}

CMessageReader::~CMessageReader() {
  if (ahead_.pending) reader_->DropPage(&ahead_);
}

HRESULT CMessageReader::Fill(size_t wanted) {
  bool noMore = false;
  bool took = false;
  while (readAhead_.size() < wanted) {
    if (!ahead_.pending) {
      const size_t missing = wanted - readAhead_.size();
      aheadMost_ = static_cast<uint32_t>(std::min<size_t>(wire::kMaxPageItems, std::max<size_t>(missing, pageSize_)));
      RETURN_IF_FAILED(reader_->AskPage(aheadMost_, &ahead_));
    }
    const size_t before = readAhead_.size();
    RETURN_IF_FAILED(TakeAhead(&noMore));
    took = true;
    pageSize_ = std::min<uint32_t>(kMaxReadAhead, pageSize_ * 2);
    if (noMore || readAhead_.size() == before) return S_OK;
  }
  if (took && pageSize_ == kMaxReadAhead) {
    aheadMost_ = pageSize_;
    // Without it the next page is simply asked for when it is needed.
    (void)reader_->AskPage(aheadMost_, &ahead_);
  }
  return S_OK;
}

HRESULT CMessageReader::TakeAhead(bool* noMore) {
  ItemLoader::Page page;
  RETURN_IF_FAILED(reader_->TakePage(&ahead_, aheadMost_, &page, noMore));
  for (size_t i = 0; i < page.offsets.size(); ++i) readAhead_.push_back({page.stream, page.offsets[i], page.ends[i]});
  return S_OK;
}

void CMessageReader::Settle() {
  bool noMore = false;
  if (ahead_.pending) (void)TakeAhead(&noMore);
}

HRESULT CMessageReader::GiveBackReadAhead() {
  if (readAhead_.empty()) return S_OK;
  const LONG count = static_cast<LONG>(readAhead_.size());
  readAhead_.clear();
  pageSize_ = 1;
  const HRESULT hr = reader_->SetPosition(RemoteReader::kCurrent, -count);
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP CMessageReader::Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) {
  if (pceltFetched) *pceltFetched = 0;
  RETURN_HR_IF_NULL(E_POINTER, rgelt);
  RETURN_HR_IF(E_INVALIDARG, celt > 1 && !pceltFetched);
  for (ULONG i = 0; i < celt; ++i) rgelt[i] = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  const HRESULT filled = Fill(celt);
  // What was read before a failure is still handed out.
  if (FAILED(filled) && readAhead_.empty()) return filled;
  ULONG fetched = 0;
  HRESULT loaded = S_OK;
  while (fetched < celt && !readAhead_.empty()) {
    const ReadAhead next = std::move(readAhead_.front());
    readAhead_.pop_front();
    loaded = loader_.LoadAt(next.page.get(), next.offset, next.end, &rgelt[fetched]);
    if (FAILED(loaded)) break;
    ++fetched;
  }
  if (pceltFetched) *pceltFetched = fetched;
  if (fetched == 0 && FAILED(loaded)) return loaded;
  return fetched == celt ? S_OK : S_FALSE;
}

HRESULT CMessageReader::NextItem(IUnknown** item) {
  ULONG fetched = 0;
  const HRESULT hr = Next(1, item, &fetched);
  if (FAILED(hr)) return hr;
  return fetched == 1 ? S_OK : S_FALSE;
}

STDMETHODIMP CMessageReader::Skip(ULONG celt) {
  std::lock_guard<std::mutex> lock(mutex_);
  Settle();
  if (celt <= readAhead_.size()) {
    readAhead_.erase(readAhead_.begin(), readAhead_.begin() + celt);
    return S_OK;
  }
  const ULONG beyond = celt - static_cast<ULONG>(readAhead_.size());
  readAhead_.clear();
  pageSize_ = 1;
  RETURN_HR_IF(E_INVALIDARG, beyond > static_cast<ULONG>(LONG_MAX));
  return reader_->SetPosition(RemoteReader::kCurrent, static_cast<LONG>(beyond));
}

STDMETHODIMP CMessageReader::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  Settle();
  readAhead_.clear();
  pageSize_ = 1;
  const HRESULT hr =
      reader_->SetPosition(direction_ == RemoteReader::kForward ? RemoteReader::kStart : RemoteReader::kEnd, 0);
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP CMessageReader::Clone(IEnumUnknown** ppenum) {
  RETURN_HR_IF_NULL(E_POINTER, ppenum);
  *ppenum = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  Settle();
  RETURN_IF_FAILED(GiveBackReadAhead());
  std::unique_ptr<RemoteReader> reader;
  RETURN_IF_FAILED(reader_->Clone(&reader));
  ComPtr<CMessageReader> clone = MakeObject<CMessageReader>(std::move(reader), direction_);
  RETURN_IF_NULL_ALLOC(clone);
  *ppenum = static_cast<ITAVDiagnosticReader*>(clone.release());
  return S_OK;
}

STDMETHODIMP CMessageReader::SetPosition(TAVDiagnosticPosition eRelativePosition, LONG nOffset) {
  RETURN_HR_IF(E_INVALIDARG, eRelativePosition < TAVDiagnosticPosition_Start ||
                                 eRelativePosition > TAVDiagnosticPosition_End);
  std::lock_guard<std::mutex> lock(mutex_);
  Settle();
  LONG offset = nOffset;
  if (eRelativePosition == TAVDiagnosticPosition_Current) {
    // The service stands behind the items read ahead; the caller does not.
    const LONG64 fromService = static_cast<LONG64>(nOffset) - static_cast<LONG64>(readAhead_.size());
    RETURN_HR_IF(E_INVALIDARG, fromService < LONG_MIN);
    offset = static_cast<LONG>(fromService);
  }
  readAhead_.clear();
  pageSize_ = 1;
  return reader_->SetPosition(eRelativePosition, offset);
}

STDMETHODIMP CMessageReader::SetDirection(TAVDiagnosticDirection eDirection) {
  RETURN_HR_IF(E_INVALIDARG,
               eDirection != TAVDiagnosticDirection_Reverse && eDirection != TAVDiagnosticDirection_Forward);
  std::lock_guard<std::mutex> lock(mutex_);
  Settle();
  RETURN_IF_FAILED(GiveBackReadAhead());
  RETURN_IF_FAILED(reader_->SetDirection(eDirection));
  direction_ = eDirection;
  return S_OK;
}

STDMETHODIMP CMessageReader::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_ITAVDiagnosticReader) || IsEqualIID(riid, IID_IEnumUnknown) ? S_OK : S_FALSE;
}

}  // namespace hv
