// Result codes the host puts on the wire. They are the Windows codes the
// library and HVMux.dll compare against, written as signed 32-bit values
// because that is how they travel in the "HRESULT" field.
#pragma once
#include <cstdint>

namespace hv::host {

using HResult = int32_t;

constexpr HResult S_OK = 0;
constexpr HResult S_FALSE = 1;
constexpr HResult E_NOINTERFACE = static_cast<HResult>(0x80004002);
// HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE): a reader or subscription number
// the connection does not have.
constexpr HResult E_HANDLE = static_cast<HResult>(0x80070006);
// HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES): a connection has as many
// readers or subscriptions open as it may.
constexpr HResult E_TOO_MANY_OPEN = static_cast<HResult>(0x80070004);
// HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED): the client's account lacks the right.
constexpr HResult E_ACCESSDENIED = static_cast<HResult>(0x80070005);
constexpr HResult E_NOTIMPL = static_cast<HResult>(0x80004001);
constexpr HResult E_FAIL = static_cast<HResult>(0x80004005);
constexpr HResult E_UNEXPECTED = static_cast<HResult>(0x8000FFFF);
constexpr HResult E_INVALIDARG = static_cast<HResult>(0x80070057);
constexpr HResult E_OUTOFMEMORY = static_cast<HResult>(0x8007000E);
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA): a frame whose framing cannot be trusted.
constexpr HResult E_INVALID_DATA = static_cast<HResult>(0x8007000D);
// HRESULT_FROM_WIN32(ERROR_DISK_FULL): the store could not grow.
constexpr HResult E_DISK_FULL = static_cast<HResult>(0x80070070);
constexpr HResult REGDB_E_CLASSNOTREG = static_cast<HResult>(0x80040154);
constexpr HResult RPC_E_VERSION_MISMATCH = static_cast<HResult>(0x80010110);

inline bool Failed(HResult hr) { return hr < 0; }

}  // namespace hv::host
