// The system audit policy of one location, kept by the log that asked for it.
// The policies are read from the security directory on first need; from then
// on the holder stays subscribed to the directory, and a change of the audit
// policies is read again at once and mirrored into the log's auditing switch.
//
// The class is exported with its copy constructor and copy assignment for
// the components that keep a policy snapshot of their own.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <memory>

#include "common/ComPtr.h"
#include "common/CriticalSection.h"
// The ids and interfaces of the security authority and directory, for the
// log's policy lookup.
#include "log/SecurityInterfaces.h"

// Components that use the library's copy define HV_POLICIES_IMPORT.
#ifdef HV_POLICIES_IMPORT
#define HV_POLICIES_EXPORT __declspec(dllimport)
#else
#define HV_POLICIES_EXPORT __declspec(dllexport)
#endif

namespace hv {

class CTAVDiagnosticLog;
class DirectoryClient;
class PolicyChangeSink;

class CHVDSystemPolicies final {
 public:
  // The twelve policy values after the three audit switches; the library
  // keeps them at their defaults and never reads them from the directory.
  static constexpr int kFurtherPolicyCount = 12;

  CHVDSystemPolicies();
  // Member-wise: values copied, texts duplicated, the directory connection and
  // the change subscription shared. The subscription and the system object
  // stay with the holder that made them: a copy never unsubscribes them or
  // releases them, and a notification never reaches a copy.
  HV_POLICIES_EXPORT CHVDSystemPolicies(const CHVDSystemPolicies& other);
  HV_POLICIES_EXPORT CHVDSystemPolicies& operator=(const CHVDSystemPolicies& other);
  ~CHVDSystemPolicies();

  // location: the location text (a GUID in string form); token: from the
  // security authority; log: the log whose auditing mirrors AuditingEnabled,
  // or null until AttachLog.
  void Init(const wchar_t* location, const wchar_t* token, CTAVDiagnosticLog* log);

  // Reads the policies once and subscribes to their changes.
  HRESULT EnsureLoaded();
  HRESULT OpenSystemObject();
  // A failed read keeps every value and still counts as read; only a
  // directory that cannot be reached is a failure.
  HRESULT ReadPolicies();
  // Unsubscribes, releases the system object and drops the connection.
  void ClosePolicies();

  // Each getter first makes sure the policies are loaded; loadResult (may be
  // null) receives that step's result, and the current value is returned
  // either way.
  bool GetAuditingEnabled(HRESULT* loadResult = nullptr);
  bool GetAuditAccessGranted(HRESULT* loadResult = nullptr);
  bool GetAuditAccessDenied(HRESULT* loadResult = nullptr);
  // index 0 to kFurtherPolicyCount - 1; 0 for any other index.
  LONG GetFurtherPolicy(int index, HRESULT* loadResult = nullptr);
  // Setting AuditingEnabled also switches the log's auditing.
  void SetAuditingEnabled(bool enabled);
  void SetAuditAccessGranted(bool granted);
  void SetAuditAccessDenied(bool denied);
  void SetFurtherPolicy(int index, LONG value);

  // From AttachLog on, AuditingEnabled is mirrored into log, starting with its
  // current value; after DetachLog nothing more is written to the log.
  void AttachLog(CTAVDiagnosticLog* log);
  void DetachLog();

 private:
  void CopyValuesFrom(const CHVDSystemPolicies& other);
  void MirrorAuditing(bool enabled);

  BOOL initialized_ = FALSE;
  BOOL loaded_ = FALSE;
  // Written by notification threads, read by the log's threads: single
  // aligned 32-bit values.
  volatile LONG auditingEnabled_ = TRUE;
  volatile LONG auditAccessGranted_ = FALSE;
  volatile LONG auditAccessDenied_ = FALSE;
  LONG furtherPolicies_[kFurtherPolicyCount];
  BSTR location_ = nullptr;
  GUID resourceId_ = {};
  GUID systemObjectId_ = {};
  std::shared_ptr<DirectoryClient> directoryClient_;
  // Guards log_ only; never held across a call to another object.
  CriticalSection logLock_;
  CTAVDiagnosticLog* log_ = nullptr;
  BSTR token_ = nullptr;
  ComPtr<PolicyChangeSink> changeSink_;
  // This holder asked for systemObjectId_ and releases it when it closes; a
  // copy shares the client but not that duty.
  bool resolvedSystemObject_ = false;
};

}  // namespace hv
