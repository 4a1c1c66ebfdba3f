// One connection to the security directory. Connecting happens when the
// client is made; while its status is a failure every operation returns that
// failure at once, so a directory that could not be reached is not asked again
// through this client.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "common/ComPtr.h"
#include "log/SecurityInterfaces.h"

namespace hv {

class DirectoryClient final {
 public:
  // The directory's server may be starting: creation that fails with
  // CO_E_SERVER_EXEC_FAILURE is retried after 10 s, then after twice the
  // previous wait, at most kMaxRetries times.
  static constexpr DWORD kFirstRetryWaitMs = 10000;
  static constexpr int kMaxRetries = 7;

  DirectoryClient();
  ~DirectoryClient();
  DirectoryClient(const DirectoryClient&) = delete;
  DirectoryClient& operator=(const DirectoryClient&) = delete;

  // Each operation concerns one resource and carries a copy of the caller's
  // token; a failure of the directory is passed on, any success is S_OK.
  HRESULT ResolveName(const GUID& resourceId, const wchar_t* token, const wchar_t* name, GUID* objectId);
  HRESULT ReleaseObject(const GUID& resourceId, const wchar_t* token, const GUID& objectId);
  // The caller frees *block with FreePropertyBlock and *extra with CoTaskMemFree.
  HRESULT ReadProperties(const GUID& resourceId, const wchar_t* token, const GUID& objectId, const wchar_t* path,
                         PropertyBlock** block, void** extra);
  HRESULT GetNotificationRegistration(IHVPolicyNotificationRegistration** registration);

  // How the client waits between connection attempts: Sleep, unless a test
  // puts its own in place (null restores Sleep).
  using RetryWait = void (*)(DWORD milliseconds);
  static void SetRetryWaitForTesting(RetryWait wait);

 private:
  CallerContext ContextFor(const GUID& resourceId, BSTR token) const;

  HRESULT status_ = S_OK;
  wchar_t computerName_[16] = {};
  std::wstring applicationName_;
  DWORD processId_ = 0;
  ComPtr<IHVSecurityDirectory> directory_;
};

}  // namespace hv
