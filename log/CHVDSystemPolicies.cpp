#include "log/CHVDSystemPolicies.h"

#include <objbase.h>

#include "common/Result.h"
#include "common/Unique.h"
#include "log/CTAVDiagnosticLog.h"
#include "log/DirectoryClient.h"
#include "log/PolicyChangeSink.h"
#include "log/PropertyBlock.h"

namespace hv {
namespace {

constexpr wchar_t kSystemObjectName[] = L"$System";
constexpr wchar_t kAuditPoliciesPath[] = L"$Policies/$SystemPolicies/$AuditPolicies";

constexpr LONG kFurtherPolicyDefaults[CHVDSystemPolicies::kFurtherPolicyCount] = {0, 0, 0, 1,  3,  8,
                                                                                  6, 7, 42, 14, 3, 5};

BSTR Duplicate(BSTR text) { return text ? SysAllocStringLen(text, SysStringLen(text)) : nullptr; }

bool IsSet(const GUID& id) { return !IsEqualGUID(id, GUID_NULL); }

// A policy is a VT_BOOL; any other value leaves the policy as it was.
bool BoolValue(const VARIANT& value, volatile LONG* target) {
  if (V_VT(&value) != VT_BOOL) return false;
  *target = V_BOOL(&value) == VARIANT_TRUE ? TRUE : FALSE;
  return true;
}

}  // namespace

CHVDSystemPolicies::CHVDSystemPolicies() {
  for (int i = 0; i < kFurtherPolicyCount; ++i) furtherPolicies_[i] = kFurtherPolicyDefaults[i];
}

CHVDSystemPolicies::CHVDSystemPolicies(const CHVDSystemPolicies& other) { CopyValuesFrom(other); }

CHVDSystemPolicies& CHVDSystemPolicies::operator=(const CHVDSystemPolicies& other) {
  if (this == &other) return *this;
  // What this holder subscribed and resolved itself is given back first.
  ClosePolicies();
  CopyValuesFrom(other);
  return *this;
}

CHVDSystemPolicies::~CHVDSystemPolicies() { ClosePolicies(); }

void CHVDSystemPolicies::CopyValuesFrom(const CHVDSystemPolicies& other) {
  initialized_ = other.initialized_;
  loaded_ = other.loaded_;
  auditingEnabled_ = other.auditingEnabled_;
  auditAccessGranted_ = other.auditAccessGranted_;
  auditAccessDenied_ = other.auditAccessDenied_;
  for (int i = 0; i < kFurtherPolicyCount; ++i) furtherPolicies_[i] = other.furtherPolicies_[i];
  SysFreeString(location_);
  location_ = Duplicate(other.location_);
  resourceId_ = other.resourceId_;
  systemObjectId_ = other.systemObjectId_;
  directoryClient_ = other.directoryClient_;
  {
    auto lock = logLock_.lock();
    log_ = other.log_;
  }
  SysFreeString(token_);
  token_ = Duplicate(other.token_);
  changeSink_ = other.changeSink_;
  resolvedSystemObject_ = false;
}

void CHVDSystemPolicies::Init(const wchar_t* location, const wchar_t* token, CTAVDiagnosticLog* log) {
  SysFreeString(location_);
  location_ = CopyBstr(location);
  SysFreeString(token_);
  token_ = CopyBstr(token);
  {
    auto lock = logLock_.lock();
    log_ = log;
  }
  initialized_ = TRUE;
}

void CHVDSystemPolicies::AttachLog(CTAVDiagnosticLog* log) {
  auto lock = logLock_.lock();
  log_ = log;
  if (log_) log_->SetAuditingEnabled(auditingEnabled_ != FALSE);
}

void CHVDSystemPolicies::DetachLog() {
  auto lock = logLock_.lock();
  log_ = nullptr;
}

void CHVDSystemPolicies::MirrorAuditing(bool enabled) {
  auto lock = logLock_.lock();
  if (log_) log_->SetAuditingEnabled(enabled);
}

HRESULT CHVDSystemPolicies::EnsureLoaded() {
  if (!loaded_) {
    // Nothing read: the values stay at their defaults and the next getter
    // tries again.
    RETURN_IF_FAILED(ReadPolicies());
    loaded_ = TRUE;
  }
  if (!changeSink_) {
    changeSink_ = MakeObject<PolicyChangeSink>();
    // Without a subscription the policies stay as read; that is no failure.
    if (changeSink_) changeSink_->Subscribe(this, location_ ? location_ : L"");
  }
  return S_OK;
}

HRESULT CHVDSystemPolicies::OpenSystemObject() {
  if (!directoryClient_) {
    directoryClient_ = std::shared_ptr<DirectoryClient>(new (std::nothrow) DirectoryClient());
    RETURN_HR_IF(E_FAIL, !directoryClient_);
  }
  if (IsSet(systemObjectId_)) return S_OK;
  if (FAILED(CLSIDFromString(location_ ? location_ : L"", &resourceId_))) resourceId_ = GUID_NULL;
  GUID systemObject = GUID_NULL;
  const HRESULT hr = directoryClient_->ResolveName(resourceId_, token_, kSystemObjectName, &systemObject);
  systemObjectId_ = systemObject;
  // Released when the holder closes even if the resolve failed: the
  // directory may keep what a failed resolve left behind.
  resolvedSystemObject_ = true;
  return hr;
}

HRESULT CHVDSystemPolicies::ReadPolicies() {
  RETURN_IF_FAILED(OpenSystemObject());
  PropertyBlock* block = nullptr;
  void* extra = nullptr;
  const HRESULT hr =
      directoryClient_->ReadProperties(resourceId_, token_, systemObjectId_, kAuditPoliciesPath, &block, &extra);
  // A directory that cannot read the policies leaves them as they are: the
  // defaults send every audit record.
  if (FAILED(hr)) {
    FreePropertyBlock(block);
    CoTaskMemFree(extra);
    return S_OK;
  }
  if (block) {
    const PropertyEntry* properties = PropertiesOf(block);
    for (ULONG i = 0; i < block->propertyCount; ++i) {
      const wchar_t* name = properties[i].name ? properties[i].name : L"";
      const VARIANT& value = properties[i].value;
      if (_wcsicmp(name, L"AuditingEnabled") == 0) {
        if (BoolValue(value, &auditingEnabled_)) MirrorAuditing(auditingEnabled_ != FALSE);
      } else if (_wcsicmp(name, L"AuditAccessGranted") == 0) {
        BoolValue(value, &auditAccessGranted_);
      } else if (_wcsicmp(name, L"AuditAccessDenied") == 0) {
        BoolValue(value, &auditAccessDenied_);
      }
    }
  }
  FreePropertyBlock(block);
  CoTaskMemFree(extra);
  return S_OK;
}

void CHVDSystemPolicies::ClosePolicies() {
  // First no notification may reach this holder any more; the sink waits for
  // one in progress.
  if (changeSink_) changeSink_->Close(this);
  if (directoryClient_) {
    if (resolvedSystemObject_) directoryClient_->ReleaseObject(resourceId_, token_, systemObjectId_);
    resolvedSystemObject_ = false;
    resourceId_ = GUID_NULL;
    systemObjectId_ = GUID_NULL;
    directoryClient_.reset();
  }
  changeSink_.reset();
  SysFreeString(token_);
  token_ = nullptr;
  SysFreeString(location_);
  location_ = nullptr;
}

bool CHVDSystemPolicies::GetAuditingEnabled(HRESULT* loadResult) {
  const HRESULT hr = EnsureLoaded();
  if (loadResult) *loadResult = hr;
  return auditingEnabled_ != FALSE;
}

bool CHVDSystemPolicies::GetAuditAccessGranted(HRESULT* loadResult) {
  const HRESULT hr = EnsureLoaded();
  if (loadResult) *loadResult = hr;
  return auditAccessGranted_ != FALSE;
}

bool CHVDSystemPolicies::GetAuditAccessDenied(HRESULT* loadResult) {
  const HRESULT hr = EnsureLoaded();
  if (loadResult) *loadResult = hr;
  return auditAccessDenied_ != FALSE;
}

LONG CHVDSystemPolicies::GetFurtherPolicy(int index, HRESULT* loadResult) {
  const HRESULT hr = EnsureLoaded();
  if (loadResult) *loadResult = hr;
  return index >= 0 && index < kFurtherPolicyCount ? furtherPolicies_[index] : 0;
}

void CHVDSystemPolicies::SetAuditingEnabled(bool enabled) {
  auditingEnabled_ = enabled ? TRUE : FALSE;
  MirrorAuditing(enabled);
}

void CHVDSystemPolicies::SetAuditAccessGranted(bool granted) { auditAccessGranted_ = granted ? TRUE : FALSE; }

void CHVDSystemPolicies::SetAuditAccessDenied(bool denied) { auditAccessDenied_ = denied ? TRUE : FALSE; }

void CHVDSystemPolicies::SetFurtherPolicy(int index, LONG value) {
  if (index >= 0 && index < kFurtherPolicyCount) furtherPolicies_[index] = value;
}

}  // namespace hv
