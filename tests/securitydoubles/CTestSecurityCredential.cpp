#include "CTestSecurityCredential.h"

#include <utility>

#include "DoublesState.h"

namespace hv::doubles {

const QIEntry CTestSecurityCredential::kInterfaces[] = {HV_QI_ENTRY(CTestSecurityCredential, IHVSecurityCredential),
                                                        HV_QI_END};

CTestSecurityCredential::CTestSecurityCredential(std::wstring token) : token_(std::move(token)) {
  DoublesState::Get().ObjectCreated();
}

CTestSecurityCredential::~CTestSecurityCredential() { DoublesState::Get().ObjectDestroyed(); }

STDMETHODIMP CTestSecurityCredential::GetToken(BSTR* token) {
  RETURN_HR_IF_NULL(E_POINTER, token);
  *token = SysAllocStringLen(token_.data(), static_cast<UINT>(token_.size()));
  return *token ? S_OK : E_OUTOFMEMORY;
}

}  // namespace hv::doubles
