// SecurityDoubles.dll: stand-ins for the security authority and the security
// directory, registered under their class ids in a test prefix only. The
// authority hands out credentials with a token the test chooses; the
// directory answers the audit policy read with the properties the test sets,
// fails the operations the test names, records every call with the caller
// context it came with, and sends change notifications to its subscribers
// from threads of its own.
//
// The state is process-wide; every function may be called from any thread.
// SecurityDoublesLibrary below loads the DLL, registers it and, when it goes,
// removes the registration again.
#pragma once
#include <windows.h>
#include <oaidl.h>

#ifdef SECDOUBLES_BUILDING
#define SECDOUBLES_API extern "C" __declspec(dllexport)
#else
#define SECDOUBLES_API extern "C" __declspec(dllimport)
#endif

// The operations that can be made to fail, and whose calls are counted.
enum SecDoublesOperation {
  SecDoublesOp_CreateAuthority = 0,  // the authority's class factory
  SecDoublesOp_GetCredential = 1,    // authority slot 9
  SecDoublesOp_CreateDirectory = 2,  // the directory's class factory
  SecDoublesOp_ResolveName = 3,      // directory slot 8
  SecDoublesOp_ReadProperties = 4,   // directory slot 23
  SecDoublesOp_Subscribe = 5,        // registration slot 3
  SecDoublesOp_Count = 6
};

// The caller context of the last directory operation, with its texts copied.
struct SecDoublesContext {
  wchar_t computerName[32];
  GUID resourceId;
  GUID reserved;
  DWORD processId;
  DWORD threadId;
  wchar_t token[64];
  wchar_t applicationName[64];
  DWORD reserved2;
};

// Forgets properties, failures, calls and the last context; the token becomes
// "token-1"; subscriptions are dropped; held reads are let go.
SECDOUBLES_API void WINAPI SecDoubles_Reset(void);

// --- Answers
// Sets the value of a property of the audit policies (a new name goes to the
// end of the list; a null value removes the name).
SECDOUBLES_API void WINAPI SecDoubles_SetProperty(const wchar_t* name, const VARIANT* value);
// The token in the credentials handed out from now on.
SECDOUBLES_API void WINAPI SecDoubles_SetToken(const wchar_t* token);

// --- Failures
// The next `count` calls of the operation fail with hr (-1: all of them).
SECDOUBLES_API void WINAPI SecDoubles_Fail(LONG operation, LONG count, HRESULT hr);

// --- What was called
// Calls so far, failed ones included.
SECDOUBLES_API LONG WINAPI SecDoubles_CallCount(LONG operation);
// The calls in order, separated by ";": "CreateAuthority", "GetCredential(id,user)",
// "CreateDirectory", "ResolveName(name)", "ReadProperties(path)", "Subscribe",
// "Unsubscribe", "ReleaseObject". A call whose arguments break the
// directory's rules (an object id it did not hand out, reserved values that
// are not zero, out pointers not cleared, a cookie it does not know, a token
// it did not issue, a context that does not name the calling process and
// thread) is followed by "!". The length the whole log has.
SECDOUBLES_API ULONG WINAPI SecDoubles_CallLog(char* buffer, ULONG cchBuffer);
// The context of the last directory operation; FALSE if there was none.
SECDOUBLES_API BOOL WINAPI SecDoubles_LastContext(SecDoublesContext* context);
// Authorities, credentials and directories alive (created and not released).
SECDOUBLES_API LONG WINAPI SecDoubles_LiveObjects(void);
// Subscriptions made and not yet unsubscribed.
SECDOUBLES_API LONG WINAPI SecDoubles_Subscriptions(void);

// --- Notifications (slot 5, ObjectChanged, with objectName = name; a null
// name is passed as a null string)
// Notifies every subscriber once, on another thread, and waits up to 10 s.
// Returns the number of subscribers called (-1 on time-out); *lastResult (may
// be null) receives the last one's result.
SECDOUBLES_API LONG WINAPI SecDoubles_Notify(const wchar_t* name, HRESULT* lastResult);
// Starts `threads` threads that notify every subscriber again and again until
// SecDoubles_StopNotifying, which returns the number of calls they made.
SECDOUBLES_API void WINAPI SecDoubles_StartNotifying(const wchar_t* name, LONG threads);
SECDOUBLES_API LONG WINAPI SecDoubles_StopNotifying(void);

// --- Holding a read
// While held, ReadProperties waits (up to 30 s) until the hold is released.
SECDOUBLES_API void WINAPI SecDoubles_HoldReads(BOOL hold);
// Waits until a ReadProperties call is being held; FALSE on time-out.
SECDOUBLES_API BOOL WINAPI SecDoubles_WaitForHeldRead(DWORD timeoutMs);

#ifdef __cplusplus
#include <string>

#include "tests/support/TestDoubleLibrary.h"

class SecurityDoublesLibrary : public hv::test::TestDoubleLibrary {
 public:
  explicit SecurityDoublesLibrary(const std::wstring& path) : TestDoubleLibrary(path) {
    if (loaded()) Register();
  }
  // Reset before the base gives the class ids back.
  ~SecurityDoublesLibrary() {
    if (Reset) Reset();
  }

  HV_DOUBLE_FUNCTION(Reset, SecDoubles_Reset);
  HV_DOUBLE_FUNCTION(SetProperty, SecDoubles_SetProperty);
  HV_DOUBLE_FUNCTION(SetToken, SecDoubles_SetToken);
  HV_DOUBLE_FUNCTION(Fail, SecDoubles_Fail);
  HV_DOUBLE_FUNCTION(CallCount, SecDoubles_CallCount);
  HV_DOUBLE_FUNCTION(CallLog, SecDoubles_CallLog);
  HV_DOUBLE_FUNCTION(LastContext, SecDoubles_LastContext);
  HV_DOUBLE_FUNCTION(LiveObjects, SecDoubles_LiveObjects);
  HV_DOUBLE_FUNCTION(Subscriptions, SecDoubles_Subscriptions);
  HV_DOUBLE_FUNCTION(Notify, SecDoubles_Notify);
  HV_DOUBLE_FUNCTION(StartNotifying, SecDoubles_StartNotifying);
  HV_DOUBLE_FUNCTION(StopNotifying, SecDoubles_StopNotifying);
  HV_DOUBLE_FUNCTION(HoldReads, SecDoubles_HoldReads);
  HV_DOUBLE_FUNCTION(WaitForHeldRead, SecDoubles_WaitForHeldRead);

  std::string Calls() const {
    std::string log(CallLog(nullptr, 0), '\0');
    if (!log.empty()) CallLog(&log[0], static_cast<ULONG>(log.size() + 1));
    return log;
  }
  void SetBool(const wchar_t* name, bool value) const {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
    SetProperty(name, &v);
  }
};
#endif
