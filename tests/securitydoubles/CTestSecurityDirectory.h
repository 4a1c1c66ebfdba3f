// The security directory double: resolves "$System" below any resource,
// answers the audit policy read with the test's properties, keeps
// subscriptions, and checks every call against the directory's rules.
#pragma once
#include "common/ComObject.h"
#include "log/SecurityInterfaces.h"

namespace hv::doubles {

class CTestSecurityDirectory final : public IHVSecurityDirectory,
                                     public IHVPolicyNotificationRegistration,
                                     public ComObject {
 public:
  HV_COM_OBJECT(CTestSecurityDirectory)
  static const QIEntry kInterfaces[];

  CTestSecurityDirectory();
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  // IHVSecurityDirectory
  STDMETHODIMP DirectorySlot3() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot4() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot5() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot6() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot7() override { return E_NOTIMPL; }
  STDMETHODIMP ResolveName(CallerContext context, BSTR name, GUID* objectId) override;
  STDMETHODIMP ReleaseObject(CallerContext context, GUID objectId) override;
  STDMETHODIMP DirectorySlot10() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot11() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot12() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot13() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot14() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot15() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot16() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot17() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot18() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot19() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot20() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot21() override { return E_NOTIMPL; }
  STDMETHODIMP DirectorySlot22() override { return E_NOTIMPL; }
  STDMETHODIMP ReadProperties(CallerContext context, GUID objectId, GUID reserved1, BSTR path, GUID reserved2,
                              LONG flags1, LONG flags2, PropertyBlock** block, void** extra) override;

  // IHVPolicyNotificationRegistration
  STDMETHODIMP Subscribe(const GUID* resourceId, IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unsubscribe(const GUID* resourceId, DWORD cookie) override;

 private:
  ~CTestSecurityDirectory() override;
};

}  // namespace hv::doubles
