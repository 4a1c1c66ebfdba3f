#include "mux/CMuxMessage.h"

#include <cstring>

#include "common/Unique.h"
#include "mux/MuxWire.h"

namespace hv {
namespace {

// A field name travels as printable ASCII without spaces, so that the
// service can log and compare it as it is.
bool IsValidFieldName(const char* name, size_t length) {
  if (length == 0 || length > wire::kMaxFieldNameLength) return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c <= 0x20 || c >= 0x7f) return false;
  }
  return true;
}

}  // namespace

const QIEntry CMuxMessage::kInterfaces[] = {
    HV_QI_ENTRY(CMuxMessage, IMuxMessage),
    HV_QI_ENTRY(CMuxMessage, IStream),
    HV_QI_ENTRY(CMuxMessage, ISequentialStream),
    // Private: the component finds its own messages through it.
    HV_QI_ENTRY_IID(CMuxMessage, IID_CMuxMessageImpl, IMuxMessage),
    HV_QI_END};

CMuxMessage::CMuxMessage() = default;

CMuxMessage::~CMuxMessage() = default;

HRESULT CMuxMessage::Create(CMuxMessage** message) {
  RETURN_HR_IF_NULL(E_POINTER, message);
  *message = nullptr;
  ComPtr<CMuxMessage> created = MakeObject<CMuxMessage>();
  RETURN_IF_NULL_ALLOC(created);
  *message = created.release();
  return S_OK;
}

HRESULT CMuxMessage::Create(MuxMessageContent&& content, CMuxMessage** message) {
  RETURN_HR_IF_NULL(E_POINTER, message);
  *message = nullptr;
  ComPtr<CMuxMessage> created = MakeObject<CMuxMessage>();
  RETURN_IF_NULL_ALLOC(created);
  for (auto& field : content.fields) {
    auto entry = std::make_unique<Field>();
    entry->name = std::move(field.first);
    entry->value = std::make_unique<std::string>(std::move(field.second));
    created->fields_.push_back(std::move(entry));
  }
  if (content.hasText) created->text_ = std::make_unique<std::wstring>(std::move(content.text));
  if (!content.data.empty()) created->data_ = std::make_unique<std::vector<uint8_t>>(std::move(content.data));
  if (!content.body.empty()) {
    ComPtr<IStream> body;
    RETURN_IF_FAILED(CreateStreamOnHGlobal(nullptr, TRUE, body.put()));
    ULONG written = 0;
    RETURN_IF_FAILED(body->Write(content.body.data(), static_cast<ULONG>(content.body.size()), &written));
    // The receiver reads the body from its start.
    const LARGE_INTEGER start = {};
    RETURN_IF_FAILED(body->Seek(start, STREAM_SEEK_SET, nullptr));
    created->body_ = std::move(body);
  }
  *message = created.release();
  return S_OK;
}

ComPtr<CMuxMessage> CMuxMessage::FromInterface(IUnknown* unknown) {
  ComPtr<IMuxMessage> message;
  if (!unknown || FAILED(unknown->QueryInterface(IID_CMuxMessageImpl, message.put_void()))) return nullptr;
  return ComPtr<CMuxMessage>::attach(static_cast<CMuxMessage*>(message.release()));
}

HRESULT CMuxMessage::View(const std::function<HRESULT(const MuxMessageView&)>& visit) {
  auto lock = lock_.lock();
  MuxMessageView view;
  view.fields.reserve(fields_.size());
  for (const auto& field : fields_) view.fields.emplace_back(field->name, *field->value);
  if (text_) {
    view.hasText = true;
    view.text = *text_;
  }
  if (data_) {
    view.data = data_->data();
    view.dataSize = data_->size();
  }
  if (!body_) {
    view.body = written_.data();
    view.bodySize = written_.size();
    return visit(view);
  }
  STATSTG stat = {};
  RETURN_IF_FAILED(body_->Stat(&stat, STATFLAG_NONAME));
  HGLOBAL global = nullptr;
  RETURN_IF_FAILED(GetHGlobalFromStream(body_.get(), &global));
  const auto* bytes = static_cast<const uint8_t*>(GlobalLock(global));
  RETURN_HR_IF(E_OUTOFMEMORY, bytes == nullptr && stat.cbSize.QuadPart != 0);
  view.body = bytes;
  view.bodySize = static_cast<size_t>(stat.cbSize.QuadPart);
  const HRESULT hr = visit(view);
  if (bytes) GlobalUnlock(global);
  return hr;
}

HRESULT CMuxMessage::Snapshot(MuxMessageContent* content) {
  RETURN_HR_IF_NULL(E_POINTER, content);
  return View([content](const MuxMessageView& view) {
    content->fields.clear();
    for (const auto& field : view.fields) content->fields.emplace_back(field.first, field.second);
    content->hasText = view.hasText;
    content->text.assign(view.text);
    content->data.assign(view.data, view.data + view.dataSize);
    content->body.assign(view.body, view.body + view.bodySize);
    return S_OK;
  });
}

HRESULT CMuxMessage::Body(IStream** body) {
  if (!body_) {
    ComPtr<IStream> made;
    RETURN_IF_FAILED(CreateStreamOnHGlobal(nullptr, TRUE, made.put()));
    if (!written_.empty()) {
      ULONG done = 0;
      RETURN_IF_FAILED(made->Write(written_.data(), static_cast<ULONG>(written_.size()), &done));
      RETURN_HR_IF(STG_E_MEDIUMFULL, done != written_.size());
    }
    body_ = std::move(made);
    std::vector<uint8_t>().swap(written_);
  }
  *body = body_.get();
  return S_OK;
}

STDMETHODIMP_(LPCSTR) CMuxMessage::GetField(LPCSTR name) {
  if (!name) return nullptr;
  auto lock = lock_.lock();
  for (const auto& field : fields_)
    if (field->name == name) return field->value->c_str();
  return nullptr;
}

STDMETHODIMP CMuxMessage::GetData(const BYTE** ppData, ULONG* pcb) {
  RETURN_HR_IF(E_POINTER, ppData == nullptr || pcb == nullptr);
  *ppData = nullptr;
  *pcb = 0;
  auto lock = lock_.lock();
  if (data_) {
    *ppData = data_->data();
    *pcb = static_cast<ULONG>(data_->size());
  }
  return S_OK;
}

STDMETHODIMP CMuxMessage::SetText(LPCWSTR text) {
  auto lock = lock_.lock();
  if (text_) retiredTexts_.push_back(std::move(text_));
  // A null text removes it.
  if (text) text_ = std::make_unique<std::wstring>(text);
  return S_OK;
}

STDMETHODIMP_(LPCSTR) CMuxMessage::GetFieldName(ULONG index) {
  auto lock = lock_.lock();
  return index < fields_.size() ? fields_[index]->name.c_str() : nullptr;
}

STDMETHODIMP_(LPWSTR) CMuxMessage::GetText() {
  auto lock = lock_.lock();
  return text_ ? text_->data() : nullptr;
}

STDMETHODIMP CMuxMessage::SetField(LPCSTR name, LPCSTR value) {
  RETURN_HR_IF(E_INVALIDARG, name == nullptr || value == nullptr);
  RETURN_HR_IF(E_INVALIDARG, !IsValidFieldName(name, std::strlen(name)));
  RETURN_HR_IF(E_INVALIDARG, std::strlen(value) > wire::kMaxFieldValueLength);
  auto lock = lock_.lock();
  for (auto& field : fields_) {
    if (field->name != name) continue;
    retiredValues_.push_back(std::move(field->value));
    field->value = std::make_unique<std::string>(value);
    return S_OK;
  }
  RETURN_HR_IF(E_INVALIDARG, fields_.size() >= wire::kMaxFields);
  auto entry = std::make_unique<Field>();
  entry->name = name;
  entry->value = std::make_unique<std::string>(value);
  fields_.push_back(std::move(entry));
  return S_OK;
}

STDMETHODIMP CMuxMessage::SetData(LONG reserved, ULONG cb, const BYTE* data) {
  RETURN_HR_IF(E_INVALIDARG, reserved != 0);
  RETURN_HR_IF(E_POINTER, cb != 0 && data == nullptr);
  auto lock = lock_.lock();
  if (data_) retiredData_.push_back(std::move(data_));
  // No bytes means no data: GetData then answers null and 0.
  if (cb != 0) data_ = std::make_unique<std::vector<uint8_t>>(data, data + cb);
  return S_OK;
}

STDMETHODIMP CMuxMessage::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->Read(pv, cb, pcbRead);
}

STDMETHODIMP CMuxMessage::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  auto lock = lock_.lock();
  if (!body_ && pv) {
    const auto* bytes = static_cast<const uint8_t*>(pv);
    try {
      written_.insert(written_.end(), bytes, bytes + cb);
    } catch (const std::exception&) {
      return STG_E_MEDIUMFULL;
    }
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->Write(pv, cb, pcbWritten);
}

STDMETHODIMP CMuxMessage::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->Seek(move, origin, newPosition);
}

STDMETHODIMP CMuxMessage::SetSize(ULARGE_INTEGER newSize) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->SetSize(newSize);
}

STDMETHODIMP CMuxMessage::CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                 ULARGE_INTEGER* pcbWritten) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->CopyTo(target, cb, pcbRead, pcbWritten);
}

STDMETHODIMP CMuxMessage::Commit(DWORD flags) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->Commit(flags);
}

STDMETHODIMP CMuxMessage::Revert() {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->Revert();
}

STDMETHODIMP CMuxMessage::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->LockRegion(offset, cb, lockType);
}

STDMETHODIMP CMuxMessage::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->UnlockRegion(offset, cb, lockType);
}

STDMETHODIMP CMuxMessage::Stat(STATSTG* stat, DWORD flags) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->Stat(stat, flags);
}

STDMETHODIMP CMuxMessage::Clone(IStream** ppstm) {
  auto lock = lock_.lock();
  IStream* body = nullptr;
  RETURN_IF_FAILED(Body(&body));
  return body->Clone(ppstm);
}

}  // namespace hv
