// TestMux.dll: a stand-in for the Mux component under the Mux service's class
// id: it keeps what clients send, answers transacts as the test set and hands
// out the client's sink. Process-wide state, callable from any thread. Field
// lists: "name=value" entries, each ended by a NUL, then one more NUL.
#pragma once
#include <windows.h>
#include <objidl.h>

#include "HVMux.h"

#ifdef TESTMUX_BUILDING
// Exported by TestMux.def, under the undecorated names on every target.
#define TESTMUX_API extern "C"
#else
#define TESTMUX_API extern "C" __declspec(dllimport)
#endif

// How a recorded message was sent.
enum TestMuxSendKind { TestMuxSend_Post = 1, TestMuxSend_Transact = 2 };

// Forgets every message, reply, failure, call and live connection.
TESTMUX_API void WINAPI TestMux_Reset(void);
// The next `count` Connect calls fail with hr (count -1: all of them).
TESTMUX_API void WINAPI TestMux_FailConnect(LONG count, HRESULT hr);
// Connect calls so far, failed ones included.
TESTMUX_API LONG WINAPI TestMux_ConnectCount(void);

// Recorded messages, in the order they were sent.
TESTMUX_API LONG WINAPI TestMux_MessageCount(void);
// Waits until at least `count` messages are recorded; FALSE on time-out.
TESTMUX_API BOOL WINAPI TestMux_WaitForMessages(LONG count, DWORD timeoutMs);
// A new copy of a recorded message; *sendKind (may be null): how it was sent.
TESTMUX_API HRESULT WINAPI TestMux_GetMessage(LONG index, IMuxMessage** ppMsg, LONG* sendKind);
// The calls the clients made, separated by ";" ("Connect(address)", "Post", "Stop(0)",
// "Release" of a connection's last reference...); the log's whole length.
TESTMUX_API ULONG WINAPI TestMux_CallLog(char* buffer, ULONG cchBuffer);

// The next `count` Post calls fail with hr and record nothing (-1: all).
TESTMUX_API void WINAPI TestMux_FailPost(LONG count, HRESULT hr);
// Replaces the replies to transacts of this "MSGTYPE" by one: a failed
// transactResult fails Transact; otherwise the reply holds the fields, text,
// body and then the marshalled marshalAfterBody if given (as for "3"), and
// the request's "transid" unless the fields name one.
TESTMUX_API HRESULT WINAPI TestMux_SetTransactReply(const char* msgType, HRESULT transactResult, const char* fields,
                                                    const wchar_t* text, const BYTE* body, ULONG cbBody,
                                                    IUnknown* marshalAfterBody);
// Adds one more reply: they answer in order, the last one every later request.
// A type without a reply fails with HRESULT_FROM_WIN32(ERROR_TIMEOUT) at once.
TESTMUX_API HRESULT WINAPI TestMux_AddTransactReply(const char* msgType, HRESULT transactResult, const char* fields,
                                                    const wchar_t* text, const BYTE* body, ULONG cbBody,
                                                    IUnknown* marshalAfterBody);

// The sink and context of the newest connection its client has not stopped,
// for the test to call; E_UNEXPECTED when there is none.
TESTMUX_API HRESULT WINAPI TestMux_GetSink(IMuxSink** ppSink, LONG* context);

#ifdef __cplusplus
#include <string>

#include "tests/support/TestDoubleLibrary.h"

// Loads TestMux.dll and registers it over the Mux service's class id; its
// unregistration gives the class id back to the real component beside it.
class TestMuxLibrary : public hv::test::TestDoubleLibrary {
 public:
  explicit TestMuxLibrary(const std::wstring& path, bool takeOverClass = true) : TestDoubleLibrary(path) {
    if (!loaded()) return;
    takeOverClass ? Register() : LeaveRegistrationAlone();
  }

  HV_DOUBLE_FUNCTION(Reset, TestMux_Reset);
  HV_DOUBLE_FUNCTION(FailConnect, TestMux_FailConnect);
  HV_DOUBLE_FUNCTION(ConnectCount, TestMux_ConnectCount);
  HV_DOUBLE_FUNCTION(MessageCount, TestMux_MessageCount);
  HV_DOUBLE_FUNCTION(WaitForMessages, TestMux_WaitForMessages);
  HV_DOUBLE_FUNCTION(MessageAt, TestMux_GetMessage);
  HV_DOUBLE_FUNCTION(CallLog, TestMux_CallLog);
  HV_DOUBLE_FUNCTION(FailPost, TestMux_FailPost);
  HV_DOUBLE_FUNCTION(SetTransactReply, TestMux_SetTransactReply);
  HV_DOUBLE_FUNCTION(AddTransactReply, TestMux_AddTransactReply);
  HV_DOUBLE_FUNCTION(GetSink, TestMux_GetSink);

  std::string Calls() const {
    std::string log(CallLog(nullptr, 0), '\0');
    if (!log.empty()) CallLog(&log[0], static_cast<ULONG>(log.size() + 1));
    return log;
  }
};
#endif
