// The process-wide state of the security doubles: what the test set, what
// the library called, and the directory's subscriptions.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <utility>
#include <vector>

#include "SecurityDoublesControl.h"
#include "common/ComPtr.h"
#include "common/CriticalSection.h"
#include "log/SecurityInterfaces.h"

namespace hv::doubles {

// The id the directory hands out for "$System".
// {3C9E1F57-2B84-4D6A-9E10-5F7A2C4B8D31}
inline constexpr GUID kSystemObjectId = {0x3c9e1f57, 0x2b84, 0x4d6a, {0x9e, 0x10, 0x5f, 0x7a, 0x2c, 0x4b, 0x8d, 0x31}};

struct Subscription {
  DWORD cookie;
  GUID resourceId;
  ComPtr<IHVPolicyChangeNotification> sink;
};

class DoublesState {
 public:
  static DoublesState& Get();

  void Reset();

  // The failure for the next call of the operation (S_OK: none); counts the call.
  HRESULT TakeCall(LONG operation);
  void SetFailure(LONG operation, LONG count, HRESULT hr);
  LONG CallCount(LONG operation);

  void Record(const std::string& call);
  std::string CallLog();

  // Checks a caller context against what the double knows of its caller,
  // keeps a copy, and says whether it was sound.
  bool TakeContext(const CallerContext& context);
  bool LastContext(SecDoublesContext* context);

  void SetProperty(const wchar_t* name, const VARIANT* value);
  // A new task-allocated block with every property, in order, and the pieces
  // the directory always adds.
  HRESULT MakePropertyBlock(PropertyBlock** block, void** extra);

  void SetToken(const wchar_t* token);
  std::wstring Token();

  DWORD Subscribe(const GUID& resourceId, IHVPolicyChangeNotification* sink);
  bool Unsubscribe(const GUID& resourceId, DWORD cookie);
  LONG SubscriptionCount();
  std::vector<Subscription> Subscribers();

  void HoldReads(bool hold);
  // Called by a read outside the lock: waits while reads are held.
  void PassReadGate();
  bool WaitForHeldRead(DWORD timeoutMs);

  void ObjectCreated() { InterlockedIncrement(&liveObjects_); }
  void ObjectDestroyed() { InterlockedDecrement(&liveObjects_); }
  LONG LiveObjects() { return InterlockedCompareExchange(&liveObjects_, 0, 0); }

 private:
  DoublesState();

  struct Failure {
    LONG count = 0;
    HRESULT hr = S_OK;
  };

  CriticalSection lock_;
  Failure failures_[SecDoublesOp_Count];
  LONG calls_[SecDoublesOp_Count] = {};
  std::string callLog_;
  std::vector<std::pair<std::wstring, VARIANT>> properties_;
  std::wstring token_;
  bool haveContext_ = false;
  SecDoublesContext lastContext_ = {};
  std::vector<Subscription> subscriptions_;
  DWORD nextCookie_ = 1;
  HANDLE readGate_;     // manual reset; signalled while reads pass
  HANDLE readWaiting_;  // manual reset; signalled while a read is held
  volatile LONG liveObjects_ = 0;
};

}  // namespace hv::doubles
