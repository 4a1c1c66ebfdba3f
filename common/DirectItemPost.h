// An interface the Mux component's own connections add to IMuxConnection,
// for the library's manager only: an item's stream form is posted as a "1"
// message without a message object. The frame written into the link's queue
// is byte for byte the one CreateMessage, a save into the message's body and
// Post would give; the object, its stream and its field are spared for every
// asynchronous item. A connection without it (another Mux component) is
// served the ordinary way.
#pragma once
#include <windows.h>
#include <unknwn.h>

struct IHvDirectItemPost : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE PostItemStream(const BYTE* stream, ULONG size, ULONG timeoutMs) = 0;
};
__CRT_UUID_DECL(IHvDirectItemPost, 0xac47015c, 0xb22f, 0x4c31, 0xa1, 0x27, 0xc1, 0xc1, 0xee, 0x6b, 0x8e, 0xdc)
