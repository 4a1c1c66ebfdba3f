#include "log/UserLookup.h"

#include <sddl.h>

#include "common/Unique.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "module/ModuleState.h"

namespace hv {
namespace {

constexpr DWORD kTokenUserBytes = 256;
constexpr DWORD kAccountChars = 128;

void FreeLocal(wchar_t* text) { LocalFree(text); }
using unique_localstring = unique_any<wchar_t*, FreeLocal>;

}  // namespace

UserLookup::UserLookup() {
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof(value);
  if (RegQueryValueExW(key.get(), L"DisableUserLookup", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &size) == ERROR_SUCCESS &&
      type == REG_DWORD)
    lookupEnabled_ = (value == 0);
}

UserLookup& UserLookup::Instance() {
  static UserLookup instance;
  return instance;
}

bool UserLookup::ProcessSid(std::wstring** sidText) {
  if (!processSid_.empty()) {
    *sidText = &processSid_;
    return true;
  }
  // The process's identity counts, not a thread's impersonation. A primary
  // token's user cannot change while the process runs, so the token is asked
  // once; a failure is asked again next time.
  ++tokenQueries_;
  unique_handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  alignas(TOKEN_USER) BYTE tokenUser[kTokenUserBytes];
  DWORD needed = 0;
  if (!GetTokenInformation(token.get(), TokenUser, tokenUser, sizeof(tokenUser), &needed)) return false;
  const PSID sid = reinterpret_cast<TOKEN_USER*>(tokenUser)->User.Sid;
  unique_localstring text;
  if (!ConvertSidToStringSidW(sid, text.put())) return false;
  const DWORD sidBytes = GetLengthSid(sid);
  processSidBytes_.assign(static_cast<const BYTE*>(sid), static_cast<const BYTE*>(sid) + sidBytes);
  processSid_ = text.get();
  *sidText = &processSid_;
  return true;
}

HRESULT UserLookup::Lookup(BSTR* name) {
  if (!name) return E_POINTER;
  *name = nullptr;
  std::wstring text;
  RETURN_IF_FAILED(LookupText(&text));
  *name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *name ? S_OK : E_FAIL;
}

HRESULT UserLookup::LookupText(std::wstring* name) {
  HRESULT hr = E_FAIL;
  auto lock = lock_.lock();
  if (!lookupEnabled_) return hr;
  try {
    std::wstring* sidText = nullptr;
    if (!ProcessSid(&sidText)) return hr;

    const auto cached = accountCache_.find(*sidText);
    if (cached != accountCache_.end()) {
      *name = cached->second;
      return S_OK;
    }

    ++accountQueries_;
    wchar_t account[kAccountChars] = {};
    wchar_t domain[kAccountChars] = {};
    DWORD accountChars = kAccountChars;
    DWORD domainChars = kAccountChars;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, processSidBytes_.data(), account, &accountChars, domain, &domainChars, &use)) {
      // Not asked again for the life of the process.
      accountCache_[*sidText] = std::wstring();
      return hr;
    }
    std::wstring fullName = domain[0] ? std::wstring(domain) + L"\\" + account : std::wstring(account);
    accountCache_[*sidText] = fullName;
    *name = std::move(fullName);
    hr = S_OK;
  } catch (...) {
    // No memory for the cache.
    hr = E_FAIL;
  }
  return hr;
}

void UserLookup::FillUserName(CTAVDiagnosticLogItem& item) {
  auto itemLock = item.Lock();
  if (!item.UserName().empty()) return;
  // Taken as it is cached, without a BSTR in between: this runs for every item.
  std::wstring name;
  if (SUCCEEDED(LookupText(&name))) item.SetUserName(name);
}

void FillUserName(CTAVDiagnosticLogItem& item) { UserLookup::Instance().FillUserName(item); }

void InstallUserLookup() {
  UserLookup::Instance();
  ItemUserNameFiller = &FillUserName;
}

namespace {
// The lookup is made, and its switch read, when the library is loaded; from
// then on a child stored in an item gets the process's user name too.
const bool g_userLookupInstalled = (InstallUserLookup(), true);
}  // namespace

}  // namespace hv
