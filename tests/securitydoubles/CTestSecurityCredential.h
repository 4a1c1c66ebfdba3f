// The credential the authority double hands out: it carries the token that
// the test chose when it was issued.
#pragma once
#include <string>

#include "common/ComObject.h"
#include "log/SecurityInterfaces.h"

namespace hv::doubles {

class CTestSecurityCredential final : public IHVSecurityCredential, public ComObject {
 public:
  HV_COM_OBJECT(CTestSecurityCredential)
  static const QIEntry kInterfaces[];

  explicit CTestSecurityCredential(std::wstring token);

  STDMETHODIMP CredentialSlot3() override { return E_NOTIMPL; }
  STDMETHODIMP CredentialSlot4() override { return E_NOTIMPL; }
  STDMETHODIMP CredentialSlot5() override { return E_NOTIMPL; }
  STDMETHODIMP CredentialSlot6() override { return E_NOTIMPL; }
  STDMETHODIMP CredentialSlot7() override { return E_NOTIMPL; }
  STDMETHODIMP CredentialSlot8() override { return E_NOTIMPL; }
  STDMETHODIMP CredentialSlot9() override { return E_NOTIMPL; }
  STDMETHODIMP CredentialSlot10() override { return E_NOTIMPL; }
  STDMETHODIMP GetToken(BSTR* token) override;

 private:
  ~CTestSecurityCredential() override;
  std::wstring token_;
};

}  // namespace hv::doubles
