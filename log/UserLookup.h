// The account under which the process runs, filled into items that carry no
// user name. Looked up once per process and security identifier; the
// administrator can switch the lookup off with "DisableUserLookup".
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <map>
#include <string>
#include <vector>

#include "common/CriticalSection.h"

namespace hv {

class CTAVDiagnosticLogItem;

class UserLookup final {
 public:
  // Reads "DisableUserLookup": a REG_DWORD other than 0 switches the lookup
  // off; a missing value or one of another type leaves it on.
  UserLookup();
  UserLookup(const UserLookup&) = delete;
  UserLookup& operator=(const UserLookup&) = delete;

  // The one lookup of the process, made on first use.
  static UserLookup& Instance();

  // The process's account as "DOMAIN\name" (the name alone when the domain is
  // empty). E_FAIL and null when the lookup is off or fails; a failed account
  // lookup is remembered and answered with an empty name from then on.
  HRESULT Lookup(BSTR* name);
  // Sets the item's user name to the process's account when it is empty; a
  // user name that is already set is never replaced.
  void FillUserName(CTAVDiagnosticLogItem& item);

  bool LookupEnabled() const { return lookupEnabled_; }
  // How often the process token and the account database were asked.
  ULONG TokenQueries() const { return tokenQueries_; }
  ULONG AccountQueries() const { return accountQueries_; }

 private:
  // The process user's SID and its string form, taken from the token on
  // first use (under the lock).
  bool ProcessSid(std::wstring** sidText);
  // Lookup's answer as text.
  HRESULT LookupText(std::wstring* name);

  CriticalSection lock_;
  bool lookupEnabled_ = true;
  std::map<std::wstring, std::wstring> accountCache_;
  std::wstring processSid_;
  std::vector<BYTE> processSidBytes_;
  ULONG tokenQueries_ = 0;
  ULONG accountQueries_ = 0;
};

// FillUserName of the process-wide lookup.
void FillUserName(CTAVDiagnosticLogItem& item);

// Creates the process-wide lookup and hands FillUserName to the item class
// for the children it stores. Runs when the library is loaded; calling it
// again changes nothing.
void InstallUserLookup();

}  // namespace hv
