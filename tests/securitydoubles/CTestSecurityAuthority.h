// The security authority double: issues a credential for any user of the
// primary directory, unless the test makes it fail.
#pragma once
#include "common/ComObject.h"
#include "log/SecurityInterfaces.h"

namespace hv::doubles {

class CTestSecurityAuthority final : public IHVSecurityAuthority, public ComObject {
 public:
  HV_COM_OBJECT(CTestSecurityAuthority)
  static const QIEntry kInterfaces[];

  CTestSecurityAuthority();
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  STDMETHODIMP AuthoritySlot3() override { return E_NOTIMPL; }
  STDMETHODIMP AuthoritySlot4() override { return E_NOTIMPL; }
  STDMETHODIMP AuthoritySlot5() override { return E_NOTIMPL; }
  STDMETHODIMP AuthoritySlot6() override { return E_NOTIMPL; }
  STDMETHODIMP AuthoritySlot7() override { return E_NOTIMPL; }
  STDMETHODIMP AuthoritySlot8() override { return E_NOTIMPL; }
  STDMETHODIMP GetCredential(BSTR directoryId, BSTR userName, IHVSecurityCredential** credential) override;

 private:
  ~CTestSecurityAuthority() override;
};

}  // namespace hv::doubles
