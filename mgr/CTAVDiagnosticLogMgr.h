// The log manager: creates logs, owns the link to the Mux, and serves
// reading, export, subscriptions, the adaptor list and display definitions.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <string>
#include <vector>

#include "HVMux.h"
#include "TAVDiagnostics.h"
#include "common/ComObject.h"
#include "common/CriticalSection.h"
#include "common/Dispatch.h"
#include "adaptors/AdaptorInfoRecord.h"
#include "mgr/CMuxSink.h"

namespace hv {

class CTAVDiagnosticLog;

// Private interface id through which the library finds its own manager behind
// an ITAVDiagnosticLogMgrEx pointer (a log delivers through it).
// {6E0D4C2B-91A8-4F3E-B7D5-3C2A1F8E6B40}
inline constexpr IID IID_CTAVDiagnosticLogMgrImpl = {
    0x6e0d4c2b, 0x91a8, 0x4f3e, {0xb7, 0xd5, 0x3c, 0x2a, 0x1f, 0x8e, 0x6b, 0x40}};

class CTAVDiagnosticLogMgr final : public DispatchImpl<ITAVDiagnosticLogMgrEx>,
                                   public DispatchImpl<ITAVDiagnosticLogDisplay>,
                                   public IMuxSink,
                                   public ComObject {
 public:
  HV_COM_OBJECT(CTAVDiagnosticLogMgr)
  static const QIEntry kInterfaces[];

  CTAVDiagnosticLogMgr();

  static ComPtr<CTAVDiagnosticLogMgr> FromInterface(IUnknown* unknown);

  // ITAVDiagnosticLogMgr
  STDMETHODIMP CreateTAVDiagnosticLog(BSTR bstrContext, BSTR szProvider, ITAVDiagnosticLog** ppLog) override;
  STDMETHODIMP ReleaseLogs() override;
  // ITAVDiagnosticLogMgrEx
  STDMETHODIMP ReadMessages(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters,
                            IEnumUnknown** ppUnkEnum) override;
  STDMETHODIMP PersistMessages(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters,
                               TAVDiagnosticFileFormat FileFormat, BSTR bstrFile) override;
  STDMETHODIMP CreateMessageSubscription(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters,
                                         LONG nBufferTime, LONG nMaxSize,
                                         IConnectionPointContainer** pSubscription) override;
  STDMETHODIMP GetAdaptorInfo(BSTR bstrMachine, IEnumVARIANT** ppUnkEnum) override;
  STDMETHODIMP ReadLocalMessages(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters,
                                 IEnumUnknown** ppUnkEnum) override;
  // ITAVDiagnosticLogDisplay
  STDMETHODIMP GetReaderFieldGroupNames(ULONG dwLCID, VARIANT* varGroupNames, VARIANT* varGroupTypes) override;
  STDMETHODIMP GetGroupDefinition(ULONG dwLCID, BSTR bstrGroupName, BSTR bstrGroupType,
                                  BSTR* bstrGroupSchema) override;

  // IMuxSink, reached only through the manager's CMuxSink.
  STDMETHODIMP OnConnected(LONG context) override;
  STDMETHODIMP OnSendQueueEmpty(LONG context) override;
  STDMETHODIMP OnConnectionClosed(LONG context, LONG hrReason) override;
  STDMETHODIMP OnPostFailed(LONG context, LONG cDropped, LONG hr) override;
  STDMETHODIMP OnMessage(LONG context, IMuxMessage* msg) override;
  STDMETHODIMP OnQueueLevel(LONG context, LONG cQueued, LONG cLimit) override;

  // --- Internal operations ---
  HRESULT GetConnectionToMux(IMuxConnection** ppConnection);
  // Sends a prepared delivery copy; synchronous items carry their id in "transid".
  HRESULT SendItem(CTAVDiagnosticLog* log, IUnknown* item, BOOL synchronous);
  HRESULT AssignTransactionId(IMuxMessage* msg);
  // Asks the Mux for one adaptor: its 272-byte record and its interface;
  // `flagsReply` says whether the Mux answers a flag change sent as a transact.
  HRESULT RequestAdaptorInterface(const GUID* clsid, AdaptorInfoRecord* record, IUnknown** ppUnk,
                                  bool* flagsReply = nullptr);

  // --- The adaptor list (adaptors/AdaptorList.cpp) ---
  // Asks the Mux on this connection for its installed adaptors ("4"); their
  // class ids in registry form, separated by ";" (empty when there are none).
  HRESULT RequestAdaptorList(IMuxConnection* connection, std::wstring* classIds);

 private:
  ~CTAVDiagnosticLogMgr() override;
  void FinalRelease() override;

  // Reading and export
  // Finds the adaptor a source-control document names and gets its reader
  // through the Mux; the adaptor's own settings come back as XML text (null
  // when the document has none).
  HRESULT OpenAdaptor(BSTR bstrXMLSourceControl, BSTR* pbstrAdaptorSpecific, IAdaptorReader** ppReader);
  // Whether every log the document names lies on this machine; never fails.
  static BOOL IsLocalSource(BSTR bstrXMLSourceControl);
  // Reads what the caller's export selects: the adaptor's enumerator, or none
  // when the local logs are read in-process.
  HRESULT ReadForExport(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters, IEnumUnknown** ppEnum);

  // The first attempt and the one serialised second attempt, under the lock.
  HRESULT ConnectWithSink(CMuxSink* sink);

  CriticalSection lock_;
  ComPtr<IMuxService> muxService_;
  ComPtr<IMuxConnection> muxConnection_;
  LONG nextTransactionId_ = 0;
  std::vector<std::wstring>* definitionFiles_ = nullptr;
  // The sink of every connection made, detached when the manager goes away.
  std::vector<ComPtr<CMuxSink>> sinks_;
};

}  // namespace hv
