// TestMux.dll: a stand-in for the Mux component, registered under the Mux
// service's class id in a test prefix only. It keeps every message the client
// posts or transacts, answers transacts with replies the test sets, and lets
// the test call the client's sink. The state is process-wide and every
// function may be called from any thread.
//
// Lists of fields are "name=value" entries, each ended by a NUL, the list ended
// by one more NUL ("MSGTYPE=5\0HRESULT=0\0\0"); the first "=" ends the name.
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

// Forgets every recorded message, reply, failure and call; connections that
// are still alive stay alive but are no longer the ones the test drives.
TESTMUX_API void WINAPI TestMux_Reset(void);
// The next `count` Connect calls fail with hr (count -1: all of them).
TESTMUX_API void WINAPI TestMux_FailConnect(LONG count, HRESULT hr);
// Connect calls so far, failed ones included.
TESTMUX_API LONG WINAPI TestMux_ConnectCount(void);
// The address of the last Connect, cut to fit; the length it has.
TESTMUX_API ULONG WINAPI TestMux_LastAddress(wchar_t* buffer, ULONG cchBuffer);

// Recorded messages, in the order they were sent.
TESTMUX_API LONG WINAPI TestMux_MessageCount(void);
// Waits until at least `count` messages are recorded; FALSE on time-out.
TESTMUX_API BOOL WINAPI TestMux_WaitForMessages(LONG count, DWORD timeoutMs);
// A new copy of a recorded message, its body read from its start; *sendKind
// (may be null) says how it was sent.
TESTMUX_API HRESULT WINAPI TestMux_GetMessage(LONG index, IMuxMessage** ppMsg, LONG* sendKind);
// The calls the clients made, separated by ";": "Connect", "Post",
// "Transact", "Flush", "Disconnect", "Stop(value)", "Release" (the last
// reference of a connection). The length the whole log has.
TESTMUX_API ULONG WINAPI TestMux_CallLog(char* buffer, ULONG cchBuffer);

// The next `count` Post calls fail with hr and record nothing (-1: all).
TESTMUX_API void WINAPI TestMux_FailPost(LONG count, HRESULT hr);
// Replaces the replies to transacts whose "MSGTYPE" is msgType by this one.
// A failed transactResult makes Transact fail with it; otherwise the reply
// holds the fields, the text (may be null), the body, and after the body the
// marshalled IUnknown of marshalAfterBody when it is given (as the component
// replies to "3"). The reply's "transid" is the request's unless the fields
// name one.
TESTMUX_API HRESULT WINAPI TestMux_SetTransactReply(const char* msgType, HRESULT transactResult, const char* fields,
                                                    const wchar_t* text, const BYTE* body, ULONG cbBody,
                                                    IUnknown* marshalAfterBody);
// Adds one more reply for msgType: replies are used in the order they were
// added, and the last one answers every later request. A request whose type
// has no reply fails with HRESULT_FROM_WIN32(ERROR_TIMEOUT), at once.
TESTMUX_API HRESULT WINAPI TestMux_AddTransactReply(const char* msgType, HRESULT transactResult, const char* fields,
                                                    const wchar_t* text, const BYTE* body, ULONG cbBody,
                                                    IUnknown* marshalAfterBody);

// The sink and context of the newest connection its client has not stopped,
// for the test to call; E_UNEXPECTED when there is none.
TESTMUX_API HRESULT WINAPI TestMux_GetSink(IMuxSink** ppSink, LONG* context);

#ifdef __cplusplus
#include <string>

#include "tests/support/TestDoubleLibrary.h"

// Loads TestMux.dll by path, registers it over the Mux service's class id and,
// when it goes, unregisters it, which gives the class id back to the real
// component beside it.
class TestMuxLibrary : public hv::test::TestDoubleLibrary {
 public:
  explicit TestMuxLibrary(const std::wstring& path, bool takeOverClass = true) : TestDoubleLibrary(path) {
    if (!loaded()) return;
    takeOverClass ? Register() : LeaveRegistrationAlone();
  }

  HV_DOUBLE_FUNCTION(Reset, TestMux_Reset);
  HV_DOUBLE_FUNCTION(FailConnect, TestMux_FailConnect);
  HV_DOUBLE_FUNCTION(ConnectCount, TestMux_ConnectCount);
  HV_DOUBLE_FUNCTION(LastAddress, TestMux_LastAddress);
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
  std::wstring Address() const {
    std::wstring address(LastAddress(nullptr, 0), L'\0');
    if (!address.empty()) LastAddress(&address[0], static_cast<ULONG>(address.size() + 1));
    return address;
  }
};
#endif
