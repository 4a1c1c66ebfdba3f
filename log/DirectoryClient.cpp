#include "log/DirectoryClient.h"

#include <objbase.h>

#include <atomic>

#include "common/Result.h"
#include "common/Unique.h"

namespace hv {
namespace {

std::atomic<DirectoryClient::RetryWait> g_retryWait{nullptr};

void SleepFor(DWORD milliseconds) { Sleep(milliseconds); }

HRESULT CreateSecurityDirectory(IHVSecurityDirectory** directory) {
  return CoCreateInstance(CLSID_HVSecurityDirectory, nullptr, kSecurityClassContext, __uuidof(IHVSecurityDirectory),
                          reinterpret_cast<void**>(directory));
}

// The directory's own success codes mean nothing to its callers.
HRESULT Passed(HRESULT hr) { return FAILED(hr) ? hr : S_OK; }

}  // namespace

void DirectoryClient::SetRetryWaitForTesting(RetryWait wait) { g_retryWait = wait; }

DirectoryClient::DirectoryClient() : applicationName_(L"HVAuthenticationProvider"), processId_(GetCurrentProcessId()) {
  DWORD chars = ARRAYSIZE(computerName_);
  if (!GetComputerNameW(computerName_, &chars)) computerName_[0] = L'\0';

  HRESULT hr = CreateSecurityDirectory(directory_.put());
  DWORD wait = kFirstRetryWaitMs;
  // A directory whose server is still starting gets about 21 minutes in all
  // (10 + 20 + ... + 640 s); any other failure is final at once.
  for (int retry = 0; hr == CO_E_SERVER_EXEC_FAILURE && retry < kMaxRetries; ++retry, wait *= 2) {
    const RetryWait waitFor = g_retryWait.load();
    (waitFor ? waitFor : &SleepFor)(wait);
    hr = CreateSecurityDirectory(directory_.put());
  }
  if (SUCCEEDED(hr) && !directory_) hr = E_NOINTERFACE;
  status_ = Passed(hr);
  if (FAILED(status_)) directory_.reset();
}

DirectoryClient::~DirectoryClient() = default;

CallerContext DirectoryClient::ContextFor(const GUID& resourceId, BSTR token) const {
  CallerContext context = {};
  context.computerName = computerName_;
  context.resourceId = resourceId;
  context.processId = processId_;
  context.threadId = GetCurrentThreadId();
  context.token = token;
  context.applicationName = applicationName_.c_str();
  return context;
}

HRESULT DirectoryClient::ResolveName(const GUID& resourceId, const wchar_t* token, const wchar_t* name,
                                     GUID* objectId) {
  RETURN_IF_FAILED(status_);
  unique_bstr tokenCopy(CopyBstr(token));
  unique_bstr nameCopy(CopyBstr(name));
  return Passed(directory_->ResolveName(ContextFor(resourceId, tokenCopy.get()), nameCopy.get(), objectId));
}

HRESULT DirectoryClient::ReleaseObject(const GUID& resourceId, const wchar_t* token, const GUID& objectId) {
  RETURN_IF_FAILED(status_);
  unique_bstr tokenCopy(CopyBstr(token));
  return Passed(directory_->ReleaseObject(ContextFor(resourceId, tokenCopy.get()), objectId));
}

HRESULT DirectoryClient::ReadProperties(const GUID& resourceId, const wchar_t* token, const GUID& objectId,
                                        const wchar_t* path, PropertyBlock** block, void** extra) {
  *block = nullptr;
  *extra = nullptr;
  RETURN_IF_FAILED(status_);
  unique_bstr tokenCopy(CopyBstr(token));
  unique_bstr pathCopy(CopyBstr(path));
  return Passed(directory_->ReadProperties(ContextFor(resourceId, tokenCopy.get()), objectId, GUID_NULL,
                                           pathCopy.get(), GUID_NULL, 1, 1, block, extra));
}

HRESULT DirectoryClient::GetNotificationRegistration(IHVPolicyNotificationRegistration** registration) {
  *registration = nullptr;
  RETURN_IF_FAILED(status_);
  return directory_->QueryInterface(__uuidof(IHVPolicyNotificationRegistration),
                                    reinterpret_cast<void**>(registration));
}

}  // namespace hv
