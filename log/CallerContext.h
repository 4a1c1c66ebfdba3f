// The record a caller hands, by value, to every operation of the security
// directory: who is asking (machine, process, thread, application, token) and
// about which resource. It is built afresh for each call, so the thread id is
// always the calling thread's.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <cstddef>

namespace hv {

struct CallerContext {
  const wchar_t* computerName;     // the client's computer name, owned by the client
  GUID resourceId;                 // the resource the call concerns
  GUID reserved;                   // all zero
  DWORD processId;                 // the client's process
  DWORD threadId;                  // the calling thread
  BSTR token;                      // the security token, owned by the caller of the operation
  const wchar_t* applicationName;  // owned by the client
  DWORD reserved2;                 // 0
};

// The 32-bit layout is the directory's: 56 bytes, every field where the
// directory reads it. The 64-bit layout is the same sequence of fields with
// natural alignment: pointers take 8 bytes, and the record 72.
#ifdef _WIN64
static_assert(offsetof(CallerContext, computerName) == 0);
static_assert(offsetof(CallerContext, resourceId) == 8);
static_assert(offsetof(CallerContext, reserved) == 24);
static_assert(offsetof(CallerContext, processId) == 40);
static_assert(offsetof(CallerContext, threadId) == 44);
static_assert(offsetof(CallerContext, token) == 48);
static_assert(offsetof(CallerContext, applicationName) == 56);
static_assert(offsetof(CallerContext, reserved2) == 64);
static_assert(sizeof(CallerContext) == 72);
#else
static_assert(offsetof(CallerContext, computerName) == 0);
static_assert(offsetof(CallerContext, resourceId) == 4);
static_assert(offsetof(CallerContext, reserved) == 20);
static_assert(offsetof(CallerContext, processId) == 36);
static_assert(offsetof(CallerContext, threadId) == 40);
static_assert(offsetof(CallerContext, token) == 44);
static_assert(offsetof(CallerContext, applicationName) == 48);
static_assert(offsetof(CallerContext, reserved2) == 52);
static_assert(sizeof(CallerContext) == 56);
#endif

}  // namespace hv
