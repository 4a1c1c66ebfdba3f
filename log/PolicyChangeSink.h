// The subscription of one policy holder to changes in the security
// directory. The directory calls the sink on a thread of its own choosing; a
// change of the audit policies makes the holder read them again, which also
// switches its log's auditing.
#pragma once
#include <windows.h>

#include <string>

#include "common/ComObject.h"
#include "common/CriticalSection.h"
#include "log/SecurityInterfaces.h"

namespace hv {

class CHVDSystemPolicies;

class PolicyChangeSink final : public IHVPolicyChangeNotification, public ComObject {
 public:
  HV_COM_OBJECT(PolicyChangeSink)
  static const QIEntry kInterfaces[];

  PolicyChangeSink();

  // Subscribes for the resource named by location (a GUID in string form)
  // through a connection of its own, serving policies from then on. The
  // directory's answer is not needed: without a subscription the policies
  // simply stay as they were read.
  HRESULT Subscribe(CHVDSystemPolicies* policies, const wchar_t* location);
  // Unsubscribes and forgets the policies, if the sink serves these. Returns
  // only once no notification is using them any more.
  void Close(const CHVDSystemPolicies* policies);
  bool Serves(const CHVDSystemPolicies* policies);

  // IHVPolicyChangeNotification
  STDMETHODIMP ObjectCreated() override;
  STDMETHODIMP ObjectDeleted() override;
  STDMETHODIMP ObjectChanged(const GUID* resourceId, const GUID* objectId, LONG changeKind,
                             BSTR objectName) override;
  STDMETHODIMP ObjectRenamed() override;
  STDMETHODIMP ObjectMoved() override;
  STDMETHODIMP MemberAdded() override;
  STDMETHODIMP MemberRemoved() override;
  STDMETHODIMP ResourceOnline() override;
  STDMETHODIMP ResourceOffline() override;

 private:
  ~PolicyChangeSink() override;

  // Held for the whole of a notification, and taken to forget the policies:
  // the holder is never destroyed under a notification that reads it.
  CriticalSection lock_;
  GUID resourceId_ = {};
  DWORD cookie_ = 0;
  CHVDSystemPolicies* policies_ = nullptr;
  ComPtr<IHVPolicyNotificationRegistration> registration_;
};

}  // namespace hv
