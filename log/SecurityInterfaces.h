// The security authority and the security directory as the audit policy
// lookup uses them: their class and interface ids, the two directory ids
// whose locations follow a system audit policy, and the slots the library
// calls. Slots it never calls are declared as placeholders so that every
// operation sits at its place in the table.
//
// Both components live outside the library; the audit tests register stand-ins
// under the same ids in their own process (tests/securitydoubles).
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <oaidl.h>

#include "log/CallerContext.h"
#include "log/PropertyBlock.h"

namespace hv {

// {DB85DCFF-6248-43ED-A855-6441B30E40DD}
inline constexpr CLSID CLSID_HVSecurityAuthority = {
    0xdb85dcff, 0x6248, 0x43ed, {0xa8, 0x55, 0x64, 0x41, 0xb3, 0x0e, 0x40, 0xdd}};
// {20032A98-E37A-4A18-8E9F-6EF8F5A9A5D7}
inline constexpr CLSID CLSID_HVSecurityDirectory = {
    0x20032a98, 0xe37a, 0x4a18, {0x8e, 0x9f, 0x6e, 0xf8, 0xf5, 0xa9, 0xa5, 0xd7}};

// The two directories whose systems keep an audit policy. A log whose
// location is the string form of one of them asks for that policy; the
// authority always issues credentials for the primary one.
// {0BE372AC-1932-4877-A163-7DFDCDCB3A07}
inline constexpr GUID kPrimaryDirectoryId = {
    0x0be372ac, 0x1932, 0x4877, {0xa1, 0x63, 0x7d, 0xfd, 0xcd, 0xcb, 0x3a, 0x07}};
// {A1401D26-50BA-45C6-A82E-584346E92F02}
inline constexpr GUID kSecondaryDirectoryId = {
    0xa1401d26, 0x50ba, 0x45c6, {0xa8, 0x2e, 0x58, 0x43, 0x46, 0xe9, 0x2f, 0x02}};

// Both components may run in any server context.
inline constexpr DWORD kSecurityClassContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// The credential the authority hands out; its token accompanies every
// directory call.
struct IHVSecurityCredential : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CredentialSlot3() = 0;
  virtual HRESULT STDMETHODCALLTYPE CredentialSlot4() = 0;
  virtual HRESULT STDMETHODCALLTYPE CredentialSlot5() = 0;
  virtual HRESULT STDMETHODCALLTYPE CredentialSlot6() = 0;
  virtual HRESULT STDMETHODCALLTYPE CredentialSlot7() = 0;
  virtual HRESULT STDMETHODCALLTYPE CredentialSlot8() = 0;
  virtual HRESULT STDMETHODCALLTYPE CredentialSlot9() = 0;
  virtual HRESULT STDMETHODCALLTYPE CredentialSlot10() = 0;
  // Slot 11.
  virtual HRESULT STDMETHODCALLTYPE GetToken(BSTR* token) = 0;
};

struct IHVSecurityAuthority : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AuthoritySlot3() = 0;
  virtual HRESULT STDMETHODCALLTYPE AuthoritySlot4() = 0;
  virtual HRESULT STDMETHODCALLTYPE AuthoritySlot5() = 0;
  virtual HRESULT STDMETHODCALLTYPE AuthoritySlot6() = 0;
  virtual HRESULT STDMETHODCALLTYPE AuthoritySlot7() = 0;
  virtual HRESULT STDMETHODCALLTYPE AuthoritySlot8() = 0;
  // Slot 9: a credential of userName for the directory (a braced GUID).
  virtual HRESULT STDMETHODCALLTYPE GetCredential(BSTR directoryId, BSTR userName,
                                                  IHVSecurityCredential** credential) = 0;
};

struct IHVSecurityDirectory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot3() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot4() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot5() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot6() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot7() = 0;
  // Slot 8: the id of the object called name below the context's resource.
  virtual HRESULT STDMETHODCALLTYPE ResolveName(CallerContext context, BSTR name, GUID* objectId) = 0;
  // Slot 9: the caller is done with an object it resolved.
  virtual HRESULT STDMETHODCALLTYPE ReleaseObject(CallerContext context, GUID objectId) = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot10() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot11() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot12() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot13() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot14() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot15() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot16() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot17() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot18() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot19() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot20() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot21() = 0;
  virtual HRESULT STDMETHODCALLTYPE DirectorySlot22() = 0;
  // Slot 23: the properties of the object at path below objectId. Both out
  // blocks are the caller's to free with the task allocator.
  virtual HRESULT STDMETHODCALLTYPE ReadProperties(CallerContext context, GUID objectId, GUID reserved1, BSTR path,
                                                   GUID reserved2, LONG flags1, LONG flags2, PropertyBlock** block,
                                                   void** extra) = 0;
};

// Reached from the directory object by QueryInterface.
struct IHVPolicyNotificationRegistration : public IUnknown {
  // Slot 3.
  virtual HRESULT STDMETHODCALLTYPE Subscribe(const GUID* resourceId, IUnknown* sink, DWORD* cookie) = 0;
  // Slot 4.
  virtual HRESULT STDMETHODCALLTYPE Unsubscribe(const GUID* resourceId, DWORD cookie) = 0;
};

// Implemented by the subscriber; the directory calls it on a thread of its
// own choosing.
struct IHVPolicyChangeNotification : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ObjectCreated() = 0;
  virtual HRESULT STDMETHODCALLTYPE ObjectDeleted() = 0;
  // Slot 5: objectName is the name of the object whose content changed.
  virtual HRESULT STDMETHODCALLTYPE ObjectChanged(const GUID* resourceId, const GUID* objectId, LONG changeKind,
                                                  BSTR objectName) = 0;
  virtual HRESULT STDMETHODCALLTYPE ObjectRenamed() = 0;
  virtual HRESULT STDMETHODCALLTYPE ObjectMoved() = 0;
  virtual HRESULT STDMETHODCALLTYPE MemberAdded() = 0;
  virtual HRESULT STDMETHODCALLTYPE MemberRemoved() = 0;
  virtual HRESULT STDMETHODCALLTYPE ResourceOnline() = 0;
  virtual HRESULT STDMETHODCALLTYPE ResourceOffline() = 0;
};

}  // namespace hv

// {84800DFD-6619-4329-902D-994E83F1F0A4}
__CRT_UUID_DECL(hv::IHVSecurityCredential, 0x84800dfd, 0x6619, 0x4329, 0x90, 0x2d, 0x99, 0x4e, 0x83, 0xf1, 0xf0,
                0xa4)
// {1F328859-6D59-4E2F-B0DB-08E86CF27510}
__CRT_UUID_DECL(hv::IHVSecurityAuthority, 0x1f328859, 0x6d59, 0x4e2f, 0xb0, 0xdb, 0x08, 0xe8, 0x6c, 0xf2, 0x75,
                0x10)
// {79242B90-ADC7-4D43-9902-1DB63429D7D3}
__CRT_UUID_DECL(hv::IHVSecurityDirectory, 0x79242b90, 0xadc7, 0x4d43, 0x99, 0x02, 0x1d, 0xb6, 0x34, 0x29, 0xd7,
                0xd3)
// {C530837F-C60E-4CE0-94F2-FC2DBECE3404}
__CRT_UUID_DECL(hv::IHVPolicyNotificationRegistration, 0xc530837f, 0xc60e, 0x4ce0, 0x94, 0xf2, 0xfc, 0x2d, 0xbe,
                0xce, 0x34, 0x04)
// {4D524604-CDC9-45C5-92E8-57D5AC6D16E8}
__CRT_UUID_DECL(hv::IHVPolicyChangeNotification, 0x4d524604, 0xcdc9, 0x45c5, 0x92, 0xe8, 0x57, 0xd5, 0xac, 0x6d,
                0x16, 0xe8)
