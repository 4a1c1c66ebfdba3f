// A protocol message: named narrow fields in the order they were first set,
// a wide text, data bytes and a body. The message is its body's stream too: a
// sender writes the body through IStream, a receiver reads it from the start.
//
// Pointers handed out by GetField, GetFieldName, GetText and GetData stay
// valid for the life of the message: a replaced value or data block is kept
// until the message goes, because a caller may still hold the old pointer.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "HVMux.h"
#include "common/ComObject.h"
#include "common/CriticalSection.h"

namespace hv {

// Private interface id through which the component recognises its own
// messages behind an IMuxMessage pointer.
// {6F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}
inline constexpr IID IID_CMuxMessageImpl = {
    0x6f1e2d3c, 0x4b5a, 0x4978, {0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe0, 0xf9}};

// What a message holds, as owned values: a message taken from a frame.
struct MuxMessageContent {
  std::vector<std::pair<std::string, std::string>> fields;
  bool hasText = false;
  std::wstring text;
  std::vector<uint8_t> data;
  std::vector<uint8_t> body;
};

// What a message holds, seen in place: valid only during a View call.
struct MuxMessageView {
  std::vector<std::pair<std::string_view, std::string_view>> fields;
  bool hasText = false;
  std::wstring_view text;
  const uint8_t* data = nullptr;
  size_t dataSize = 0;
  const uint8_t* body = nullptr;  // the whole body, whatever the stream's position
  size_t bodySize = 0;
};

class CMuxMessage final : public IMuxMessage, public IStream, public ComObject {
 public:
  HV_COM_OBJECT(CMuxMessage)
  static const QIEntry kInterfaces[];

  CMuxMessage();

  // A new message, or a received one holding content; the body reads from
  // its start.
  static HRESULT Create(CMuxMessage** message);
  static HRESULT Create(MuxMessageContent&& content, CMuxMessage** message);

  // The component's own message behind an interface pointer, or null.
  static ComPtr<CMuxMessage> FromInterface(IUnknown* unknown);

  // Lets visit see the message in place, under its lock (so a frame is
  // written without copying the body twice); visit's result is returned.
  HRESULT View(const std::function<HRESULT(const MuxMessageView&)>& visit);

  // A copy of everything the message holds.
  HRESULT Snapshot(MuxMessageContent* content);

  // IMuxMessage
  STDMETHODIMP_(LPCSTR) GetField(LPCSTR name) override;
  STDMETHODIMP GetData(const BYTE** ppData, ULONG* pcb) override;
  STDMETHODIMP SetText(LPCWSTR text) override;
  STDMETHODIMP_(LPCSTR) GetFieldName(ULONG index) override;
  STDMETHODIMP_(LPWSTR) GetText() override;
  STDMETHODIMP SetField(LPCSTR name, LPCSTR value) override;
  STDMETHODIMP SetData(LONG reserved, ULONG cb, const BYTE* data) override;

  // ISequentialStream and IStream: the body, served by a stream on global
  // memory made when it is first needed. Until then the bytes a sender writes
  // into a new message gather in a plain buffer: a message that is only
  // written and then sent never needs the stream.
  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
  STDMETHODIMP SetSize(ULARGE_INTEGER newSize) override;
  STDMETHODIMP CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                      ULARGE_INTEGER* pcbWritten) override;
  STDMETHODIMP Commit(DWORD flags) override;
  STDMETHODIMP Revert() override;
  STDMETHODIMP LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) override;
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) override;
  STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override;
  STDMETHODIMP Clone(IStream** ppstm) override;

 private:
  struct Field {
    std::string name;
    std::unique_ptr<std::string> value;
  };

  ~CMuxMessage() override;
  // The body stream, made on first use from the bytes written so far (its
  // position then at their end). Called with the lock held.
  HRESULT Body(IStream** body);

  CriticalSection lock_;
  std::vector<std::unique_ptr<Field>> fields_;
  std::unique_ptr<std::wstring> text_;
  std::unique_ptr<std::vector<uint8_t>> data_;
  // Replaced values and data blocks, kept for pointers handed out earlier.
  std::vector<std::unique_ptr<std::string>> retiredValues_;
  std::vector<std::unique_ptr<std::wstring>> retiredTexts_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> retiredData_;
  ComPtr<IStream> body_;
  std::vector<uint8_t> written_;  // the body while body_ is not made yet
};

}  // namespace hv
