#include "log/PolicyChangeSink.h"

#include <objbase.h>

#include "log/CHVDSystemPolicies.h"
#include "log/DirectoryClient.h"

namespace hv {

const QIEntry PolicyChangeSink::kInterfaces[] = {HV_QI_ENTRY(PolicyChangeSink, IHVPolicyChangeNotification),
                                                 HV_QI_END};

PolicyChangeSink::PolicyChangeSink() = default;

PolicyChangeSink::~PolicyChangeSink() = default;

HRESULT PolicyChangeSink::Subscribe(CHVDSystemPolicies* policies, const wchar_t* location) {
  DirectoryClient client;
  {
    auto lock = lock_.lock();
    policies_ = policies;
  }
  if (FAILED(CLSIDFromString(location, &resourceId_))) resourceId_ = GUID_NULL;
  RETURN_IF_FAILED(client.GetNotificationRegistration(registration_.put()));
  return registration_->Subscribe(&resourceId_, Inner(), &cookie_);
}

bool PolicyChangeSink::Serves(const CHVDSystemPolicies* policies) {
  auto lock = lock_.lock();
  return policies_ == policies;
}

void PolicyChangeSink::Close(const CHVDSystemPolicies* policies) {
  if (!Serves(policies)) return;
  // Not under the lock: the directory may wait for a notification in
  // progress before it lets the subscription go.
  if (cookie_ && registration_) registration_->Unsubscribe(&resourceId_, cookie_);
  cookie_ = 0;
  auto lock = lock_.lock();
  policies_ = nullptr;
}

STDMETHODIMP PolicyChangeSink::ObjectChanged(const GUID*, const GUID*, LONG, BSTR objectName) {
  // Only a change of the policies themselves is read again; any other object
  // of the directory may change without the log noticing.
  const wchar_t* name = objectName ? objectName : L"";
  if (_wcsicmp(name, L"$SecurityPolicies") != 0 && _wcsicmp(name, L"$AuditPolicies") != 0) return S_OK;
  auto lock = lock_.lock();
  if (!policies_) return S_OK;
  return policies_->ReadPolicies();
}

// The directory tells of other changes too; none of them concerns a policy.
STDMETHODIMP PolicyChangeSink::ObjectCreated() { return S_OK; }
STDMETHODIMP PolicyChangeSink::ObjectDeleted() { return S_OK; }
STDMETHODIMP PolicyChangeSink::ObjectRenamed() { return S_OK; }
STDMETHODIMP PolicyChangeSink::ObjectMoved() { return S_OK; }
STDMETHODIMP PolicyChangeSink::MemberAdded() { return S_OK; }
STDMETHODIMP PolicyChangeSink::MemberRemoved() { return S_OK; }
STDMETHODIMP PolicyChangeSink::ResourceOnline() { return S_OK; }
STDMETHODIMP PolicyChangeSink::ResourceOffline() { return S_OK; }

}  // namespace hv
