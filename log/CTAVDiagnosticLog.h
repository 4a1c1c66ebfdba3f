// The log: bound to one location and one provider, it builds log items from
// the caller's fields and delivers them to the Mux through the manager that
// created it.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>

#include "TAVDiagnostics.h"
#include "common/ComObject.h"
#include "common/CriticalSection.h"
#include "common/Dispatch.h"

namespace hv {

class CHVDSystemPolicies;
class CTAVDiagnosticLogItem;
class CTAVDiagnosticLogMgr;

// Private interface id through which the library recognises its own logs
// behind any of their interface pointers.
// {8F3A6D21-4C9B-4B7E-A2D5-71E0C4B9F683}
inline constexpr IID IID_CTAVDiagnosticLogImpl = {
    0x8f3a6d21, 0x4c9b, 0x4b7e, {0xa2, 0xd5, 0x71, 0xe0, 0xc4, 0xb9, 0xf6, 0x83}};

class CTAVDiagnosticLog final : public DispatchImpl<ITAVDiagnosticLogEx>, public ComObject {
 public:
  HV_COM_OBJECT(CTAVDiagnosticLog)
  static const QIEntry kInterfaces[];

  // The manager creates logs with MakeObject<CTAVDiagnosticLog>(), then calls
  // Init, AttachLogMgr and QueryInterface.
  CTAVDiagnosticLog();

  // The library's own log behind an interface pointer, or null.
  static ComPtr<CTAVDiagnosticLog> FromInterface(IUnknown* unknown);

  // ITAVDiagnosticLog
  STDMETHODIMP Init(BSTR szLocation, BSTR szProvider) override;
  STDMETHODIMP ExtendItemSchema(BSTR szSchema) override;
  STDMETHODIMP Log(DATE* dtpDateTime, BSTR szUserName, TAVDiagnosticKind dkKind, TAVDiagnosticType dtType,
                   LONG lVerbosity, BSTR saMsgText) override;
  STDMETHODIMP BuildItem(DATE* dtpDateTime, BSTR szUserName, TAVDiagnosticKind dkKind,
                         TAVDiagnosticType dtType, LONG lVerbosity, BSTR szMsgText,
                         ITAVDiagnosticLogItem** ppItem) override;
  STDMETHODIMP LogThisItem(ITAVDiagnosticLogItem* pItem) override;
  STDMETHODIMP SetStringResourcePathname(BSTR szResourcePathName) override;
  STDMETHODIMP SetStringResourceInstance(ULONG lResource) override;
  STDMETHODIMP LogRes(DATE* dtpDateTime, BSTR szUserName, TAVDiagnosticKind dkKind, TAVDiagnosticType dtType,
                      LONG lVerbosity, LONG dwStringResID) override;
  STDMETHODIMP BuildItemRes(DATE* dtpDateTime, BSTR szUserName, TAVDiagnosticKind dkKind,
                            TAVDiagnosticType dtType, LONG lVerbosity, LONG dwStringResID,
                            ITAVDiagnosticLogItem** ppItem) override;
  // ITAVDiagnosticLogEx
  STDMETHODIMP BuildItemEx(DATE* dtpDateTime, BSTR szUserName, TAVDiagSeverity eSeverity,
                           TAVDiagAudience eAudience, LONG lVerbosity, VARIANT varMsg, SAFEARRAY** paArgs,
                           BSTR bstrLocation, BSTR bstrProvider, ITAVDiagnosticLogItemEx** ppItem) override;
  STDMETHODIMP LogThisItemEx(ITAVDiagnosticLogItemEx* pItemEx, VARIANT_BOOL bSynchronous,
                             ULONG dwTimeOut) override;
  STDMETHODIMP CancelLogThisItemEx(ITAVDiagnosticLogItemEx* pItemEx) override;

  // --- Internal operations of the library ---

  // Called once by the manager right after Init; the log keeps the manager
  // alive until the log itself is destroyed.
  // The manager's own object, when given, is what items are sent through.
  void AttachLogMgr(ITAVDiagnosticLogMgrEx* logMgr, CTAVDiagnosticLogMgr* implementation = nullptr);

  // Whether audit items go out as audit items; the system audit policy
  // switches it, and delivery reads it without the lock.
  bool AuditingEnabled() const;
  void SetAuditingEnabled(bool enabled);
  bool PolicyLookupDone() const;

  std::wstring Location();
  std::wstring Provider();

  // How a prepared delivery copy reaches the Mux link. The manager's SendItem
  // unless a test puts its own link in place (null restores the manager).
  using ItemSender = HRESULT (*)(ITAVDiagnosticLogMgrEx* logMgr, CTAVDiagnosticLog* log,
                                 CTAVDiagnosticLogItem* copy, BOOL synchronous);
  static void SetItemSenderForTesting(ItemSender sender);

 private:
  ~CTAVDiagnosticLog() override;
  void FinalRelease() override;

  // The first audit item of a log (per Init) asks for the system audit
  // policy of its location; every later one finds the attempt made.
  void ObtainSystemPolicy(const std::wstring& location, const wchar_t* userName);
  void WriteTraceLine(ITAVDiagnosticLogItemEx* item);

  CriticalSection lock_;
  ComPtr<ITAVDiagnosticLogMgrEx> logMgr_;
  CTAVDiagnosticLogMgr* logMgrImpl_ = nullptr;  // kept alive by logMgr_
  std::wstring location_;
  std::wstring provider_;
  std::wstring itemSchema_;
  std::unique_ptr<CHVDSystemPolicies> systemPolicies_;
  volatile LONG auditingEnabled_ = TRUE;
  volatile LONG policyLookupDone_ = FALSE;
  // Counts the bindings made by Init, so that a policy lookup begun under an
  // earlier binding knows its answer is no longer wanted.
  uint32_t binding_ = 0;
};

}  // namespace hv
