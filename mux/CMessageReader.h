// The enumerator that Read hands out: it pages through a reader of the
// service and turns each item stream into a log item. It reads ahead in
// growing pages, because a caller that asks for one item at a time (an
// export does) would otherwise pay a round trip to the service per item; the
// items read ahead are given back to the service's position before any move,
// so the position the caller sees is always the one after the last item it
// was handed.
#pragma once
#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "TAVDiagnostics.h"
#include "common/ComObject.h"
#include "mux/ItemLoader.h"
#include "mux/RemoteReader.h"

namespace hv {

class CMessageReader final : public ITAVDiagnosticReader, public ISupportErrorInfo, public ComObject {
 public:
  HV_COM_OBJECT(CMessageReader)
  static const QIEntry kInterfaces[];
  // The largest read-ahead; the first pages are as small as the caller asks.
  static constexpr uint32_t kMaxReadAhead = 1024;

  CMessageReader(std::unique_ptr<RemoteReader> reader, LONG direction);

  // IEnumUnknown
  STDMETHODIMP Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override;
  STDMETHODIMP Skip(ULONG celt) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumUnknown** ppenum) override;
  // ITAVDiagnosticReader
  STDMETHODIMP SetPosition(TAVDiagnosticPosition eRelativePosition, LONG nOffset) override;
  STDMETHODIMP SetDirection(TAVDiagnosticDirection eDirection) override;
  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

  // One item for a caller that takes them singly; S_FALSE and no item when
  // nothing further is there.
  HRESULT NextItem(IUnknown** item);

 private:
  ~CMessageReader() override;
  // Fills the read-ahead with at least wanted items unless the service runs out.
  HRESULT Fill(size_t wanted);
  // Adds the page asked for ahead to the read-ahead.
  HRESULT TakeAhead(bool* noMore);
  // Waits for a page asked for ahead, so that the read-ahead holds every item
  // the service has stepped over; a page that failed moved nothing.
  void Settle();
  // Moves the service's position back over the items read ahead.
  HRESULT GiveBackReadAhead();

  std::mutex mutex_;
  std::unique_ptr<RemoteReader> reader_;
  LONG direction_;
  // Items read ahead: each stands at its place in the page it came with.
  struct ReadAhead {
    ComPtr<IStream> page;
    ULONG offset = 0;
    ULONG end = 0;
  };
  std::deque<ReadAhead> readAhead_;
  uint32_t pageSize_ = 1;  // doubles while the caller keeps reading on
  // Once pages are full-sized, the next one is asked for before the items of
  // the last are loaded, so that the service reads it meanwhile.
  MuxLink::Ticket ahead_;
  uint32_t aheadMost_ = 0;
  ItemLoader loader_;
};

}  // namespace hv
