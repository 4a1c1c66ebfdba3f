#include "mgr/CTAVDiagnosticLogMgr.h"

#include "log/CTAVDiagnosticLog.h"

namespace hv {

const QIEntry CTAVDiagnosticLogMgr::kInterfaces[] = {
    HV_QI_ENTRY(CTAVDiagnosticLogMgr, ITAVDiagnosticLogMgrEx),
    HV_QI_ENTRY_IID(CTAVDiagnosticLogMgr, IID_ITAVDiagnosticLogMgr, ITAVDiagnosticLogMgrEx),
    HV_QI_ENTRY(CTAVDiagnosticLogMgr, ITAVDiagnosticLogDisplay),
    // Private: the library's own operations find the implementation through it.
    HV_QI_ENTRY_IID(CTAVDiagnosticLogMgr, IID_CTAVDiagnosticLogMgrImpl, ITAVDiagnosticLogMgrEx),
    HV_QI_END};

CTAVDiagnosticLogMgr::CTAVDiagnosticLogMgr() = default;

CTAVDiagnosticLogMgr::~CTAVDiagnosticLogMgr() = default;

ComPtr<CTAVDiagnosticLogMgr> CTAVDiagnosticLogMgr::FromInterface(IUnknown* unknown) {
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  if (!unknown || FAILED(unknown->QueryInterface(IID_CTAVDiagnosticLogMgrImpl, mgr.put_void())))
    return nullptr;
  return ComPtr<CTAVDiagnosticLogMgr>::attach(static_cast<CTAVDiagnosticLogMgr*>(mgr.release()));
}

void CTAVDiagnosticLogMgr::FinalRelease() {
  // Sinks first, without the lock: a notification in progress may be waiting
  // for it, and after this no notification reaches this manager.
  std::vector<ComPtr<CMuxSink>> sinks;
  {
    auto lock = lock_.lock();
    sinks.swap(sinks_);
  }
  for (auto& sink : sinks) sink->Detach();
  ReleaseLogs();
  auto lock = lock_.lock();
  delete definitionFiles_;
  definitionFiles_ = nullptr;
}

STDMETHODIMP CTAVDiagnosticLogMgr::CreateTAVDiagnosticLog(BSTR bstrContext, BSTR szProvider,
                                                         ITAVDiagnosticLog** ppLog) {
  RETURN_HR_IF_NULL(E_POINTER, ppLog);
  ComPtr<CTAVDiagnosticLog> log = MakeObject<CTAVDiagnosticLog>();
  RETURN_IF_NULL_ALLOC(log);
  // The log is handed out even when Init reports a failure.
  log->Init(bstrContext, szProvider);
  log->AttachLogMgr(static_cast<ITAVDiagnosticLogMgrEx*>(this), this);
  return log->QueryInterface(IID_ITAVDiagnosticLog, reinterpret_cast<void**>(ppLog));
}

STDMETHODIMP CTAVDiagnosticLogMgr::ReleaseLogs() {
  auto lock = lock_.lock();
  if (muxConnection_) {
    muxConnection_->Stop(0);
    muxConnection_->Disconnect();
    muxConnection_.reset();
  }
  muxService_.reset();
  return S_OK;
}

// The notifications the library does not act on.
STDMETHODIMP CTAVDiagnosticLogMgr::OnConnected(LONG) { return S_OK; }
STDMETHODIMP CTAVDiagnosticLogMgr::OnSendQueueEmpty(LONG) { return S_OK; }
STDMETHODIMP CTAVDiagnosticLogMgr::OnPostFailed(LONG, LONG, LONG) { return S_OK; }
STDMETHODIMP CTAVDiagnosticLogMgr::OnQueueLevel(LONG, LONG, LONG) { return S_OK; }

}  // namespace hv
