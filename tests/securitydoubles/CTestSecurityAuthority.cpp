#include "CTestSecurityAuthority.h"

#include <string>

#include "CTestSecurityCredential.h"
#include "DoublesState.h"

namespace hv::doubles {
namespace {

std::string Narrow(const wchar_t* text) {
  if (!text) return "(null)";
  std::string narrow;
  for (; *text; ++text) narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return narrow;
}

}  // namespace

const QIEntry CTestSecurityAuthority::kInterfaces[] = {HV_QI_ENTRY(CTestSecurityAuthority, IHVSecurityAuthority),
                                                       HV_QI_END};

CTestSecurityAuthority::CTestSecurityAuthority() { DoublesState::Get().ObjectCreated(); }

CTestSecurityAuthority::~CTestSecurityAuthority() { DoublesState::Get().ObjectDestroyed(); }

HRESULT CTestSecurityAuthority::Create(IUnknown* outer, REFIID riid, void** ppv) {
  DoublesState& state = DoublesState::Get();
  state.Record("CreateAuthority");
  RETURN_IF_FAILED(state.TakeCall(SecDoublesOp_CreateAuthority));
  return CreateObject<CTestSecurityAuthority>(outer, riid, ppv);
}

STDMETHODIMP CTestSecurityAuthority::GetCredential(BSTR directoryId, BSTR userName,
                                                   IHVSecurityCredential** credential) {
  RETURN_HR_IF_NULL(E_POINTER, credential);
  *credential = nullptr;
  DoublesState& state = DoublesState::Get();
  state.Record("GetCredential(" + Narrow(directoryId) + "," + Narrow(userName) + ")");
  RETURN_IF_FAILED(state.TakeCall(SecDoublesOp_GetCredential));
  ComPtr<CTestSecurityCredential> issued = MakeObject<CTestSecurityCredential>(state.Token());
  RETURN_IF_NULL_ALLOC(issued);
  *credential = issued.release();
  return S_OK;
}

}  // namespace hv::doubles
