#include "adaptors/CTAVDiagnosticAdaptor.h"

#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "common/ByteStream.h"
#include "common/Unique.h"
#include "mgr/MuxProtocol.h"
#include "module/ModuleState.h"
#include "msgtext/MessageFormat.h"

namespace hv {
namespace {

// Texts of the language resource library.
constexpr UINT kChangeHeadingText = 110;  // %1 audience name, %2 adaptor name
constexpr UINT kChangeLineText = 111;     // %1 severity name, %2 previous state, %3 new state

// The state words are the same in every language library.
constexpr wchar_t kEnabled[] = L"Enabled";
constexpr wchar_t kDisabled[] = L"Disabled";

// The audit message about a change goes to the operators and to VELTRA.
constexpr TAVDiagAudience kAuditAudience = static_cast<TAVDiagAudience>(TAVDiagAudience_VELTRA | TAVDiagAudience_Op);
constexpr wchar_t kAuditProvider[] = L"Halvern Diagnostics";

struct SeverityText {
  uint32_t bit;
  UINT nameText;
};
// The order in which changed severities are listed.
constexpr SeverityText kSeverities[] = {
    {TAVDiagSeverity_Error, 124}, {TAVDiagSeverity_Warning, 125}, {TAVDiagSeverity_Info, 127},
    {TAVDiagSeverity_Audit, 126}};

bool IsSingleBit(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// The byte of enableFlags that holds an audience's severities; -1 for an
// audience the adaptor keeps no flags for.
int FlagIndex(uint32_t audience) {
  switch (audience) {
    case TAVDiagAudience_VELTRA: return 0;
    case TAVDiagAudience_Dev: return 1;
    case TAVDiagAudience_Eng: return 2;
    case TAVDiagAudience_Op: return 3;
    default: return -1;
  }
}

UINT AudienceNameText(uint32_t audience) {
  switch (audience) {
    case TAVDiagAudience_Op: return 120;
    case TAVDiagAudience_Eng: return 121;
    case TAVDiagAudience_Dev: return 122;
    default: return 123;  // VELTRA
  }
}

// A text of the language library with string insertions; a text the library
// does not hold becomes the empty string.
std::wstring FormatText(UINT id, std::initializer_list<std::wstring> insertions) {
  const std::wstring pattern = LoadResourceString(ResourceModule(), id);
  if (pattern.empty()) return pattern;
  std::vector<unique_bstr> texts;
  std::vector<VARIANT> arguments;
  texts.reserve(insertions.size());
  for (const std::wstring& insertion : insertions) {
    texts.emplace_back(SysAllocStringLen(insertion.data(), static_cast<UINT>(insertion.size())));
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_BSTR;
    argument.bstrVal = texts.back().get();
    arguments.push_back(argument);
  }
  std::wstring result;
  if (!FormatInsertions(pattern, arguments, &result)) result.clear();
  return result;
}

// Records a change as any client of the library would: through a manager of
// its own, so the message takes the same road as every other audit message.
// Nothing here can fail the change, which has been sent already.
void LogAuditText(const std::wstring& text) {
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  if (FAILED(CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_ALL, IID_ITAVDiagnosticLogMgrEx,
                              manager.put_void())))
    return;
  unique_bstr provider(SysAllocString(kAuditProvider));
  ComPtr<ITAVDiagnosticLog> log;
  if (!provider || FAILED(manager->CreateTAVDiagnosticLog(nullptr, provider.get(), log.put()))) return;
  ComPtr<ITAVDiagnosticLogEx> logEx;
  if (FAILED(log.query(&logEx))) return;
  unique_variant message;
  message->vt = VT_BSTR;
  message->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!message->bstrVal) return;
  ComPtr<ITAVDiagnosticLogItemEx> item;
  if (FAILED(logEx->BuildItemEx(nullptr, nullptr, TAVDiagSeverity_Audit, kAuditAudience, 0, *message.get(),
                                nullptr, nullptr, nullptr, item.put())))
    return;
  logEx->LogThisItemEx(item.get(), VARIANT_FALSE, 0);
}

}  // namespace

const QIEntry CTAVDiagnosticAdaptor::kInterfaces[] = {
    HV_QI_ENTRY(CTAVDiagnosticAdaptor, ITAVDiagnosticAdaptor),
    HV_QI_ENTRY_IID(CTAVDiagnosticAdaptor, IID_IDispatch, ITAVDiagnosticAdaptor), HV_QI_END};

CTAVDiagnosticAdaptor::CTAVDiagnosticAdaptor() = default;

CTAVDiagnosticAdaptor::~CTAVDiagnosticAdaptor() = default;

void CTAVDiagnosticAdaptor::Fill(IMuxService* muxService, IMuxConnection* muxConnection, REFCLSID clsid,
                                 const AdaptorInfoRecord& record, IUnknown* adaptorInterface, bool flagsReply) {
  flagsReply_ = flagsReply;
  muxService_ = ComPtr<IMuxService>(muxService);
  muxConnection_ = ComPtr<IMuxConnection>(muxConnection);
  adaptorInterface_ = ComPtr<IUnknown>(adaptorInterface);
  adaptorClsid_ = clsid;
  // The record is the Mux's little-endian bytes.
  ByteReader r(&record, sizeof(record));
  r.u32(&audienceMask_);
  r.u32(&severityMask_);
  for (auto& flags : enableFlags_) {
    uint8_t value = 0;
    r.u8(&value);
    flags = value;
  }
  // The name ends at its NUL, or at the end of its field.
  adaptorName_.clear();
  uint16_t unit = 0;
  while (r.u16(&unit) && unit != 0) adaptorName_.push_back(static_cast<wchar_t>(unit));
}

STDMETHODIMP CTAVDiagnosticAdaptor::GetAdaptorInterface(IUnknown** ppUnk) {
  RETURN_HR_IF_NULL(E_INVALIDARG, ppUnk);
  adaptorInterface_.copy_to(ppUnk);
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticAdaptor::GetAdaptorSpecifics(TAVDiagAudience* peAudience, TAVDiagSeverity* peSeverity,
                                                        BSTR* pclsid, BSTR* pbstrName,
                                                        VARIANT_BOOL* bSupportReading) {
  RETURN_HR_IF(E_INVALIDARG, !peAudience || !peSeverity || !pclsid || !pbstrName || !bSupportReading);
  wchar_t clsidText[39] = {};
  StringFromGUID2(adaptorClsid_, clsidText, ARRAYSIZE(clsidText));
  unique_bstr name(SysAllocStringLen(adaptorName_.data(), static_cast<UINT>(adaptorName_.size())));
  unique_bstr clsid(SysAllocString(clsidText));
  if (!name || !clsid) {
    *pclsid = nullptr;
    *pbstrName = nullptr;
    return E_OUTOFMEMORY;
  }
  *peAudience = static_cast<TAVDiagAudience>(audienceMask_);
  *peSeverity = static_cast<TAVDiagSeverity>(severityMask_);
  *pbstrName = name.release();
  *pclsid = clsid.release();
  // Only the adaptors that can be read from answer the reader interface.
  ComPtr<IAdaptorReader> reader;
  const bool canRead = adaptorInterface_ && SUCCEEDED(adaptorInterface_.query(&reader));
  reader.reset();
  // 1, not VARIANT_TRUE: callers compare with 1.
  *bSupportReading = canRead ? 1 : 0;
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticAdaptor::GetMsgCategoryEnableFlags(TAVDiagAudience eAudience,
                                                              TAVDiagSeverity* peSeverity) {
  RETURN_HR_IF_NULL(E_INVALIDARG, peSeverity);
  const uint32_t audience = static_cast<uint32_t>(eAudience);
  RETURN_HR_IF(E_INVALIDARG, !IsSingleBit(audience));
  // An audience beyond the four has no flags here; the answer is left alone.
  const int index = FlagIndex(audience);
  if (index >= 0) *peSeverity = static_cast<TAVDiagSeverity>(enableFlags_[index].load());
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticAdaptor::SetMsgCategoryEnableFlags(TAVDiagAudience eAudience,
                                                              TAVDiagSeverity eSeverity) {
  const uint32_t audience = static_cast<uint32_t>(eAudience);
  const uint32_t severity = static_cast<uint32_t>(eSeverity);
  RETURN_HR_IF(E_INVALIDARG, !IsSingleBit(audience));
  // Switching an audience off is allowed whether the adaptor serves it or not.
  RETURN_HR_IF(E_INVALIDARG, severity != 0 && (audienceMask_ & audience) == 0);
  RETURN_HR_IF(E_INVALIDARG, (severityMask_ & severity) != severity);
  const int index = FlagIndex(audience);
  // No flags are kept for an audience beyond the four, so nothing is enabled
  // for it and nothing could carry a new mask.
  if (index < 0) return severity == 0 ? S_OK : E_INVALIDARG;

  TAVDiagSeverity current = static_cast<TAVDiagSeverity>(0);
  GetMsgCategoryEnableFlags(eAudience, &current);
  const uint32_t before = static_cast<uint32_t>(current);
  if (before == severity) return S_OK;

  RETURN_HR_IF_NULL(E_UNEXPECTED, muxConnection_);
  ComPtr<IMuxMessage> message;
  RETURN_IF_FAILED(muxConnection_->CreateMessage(message.put()));
  RETURN_IF_FAILED(message->SetField(kFieldMsgType, kMsgCategoryFlags));

  // From here on the object holds the new mask, whatever the Mux makes of it,
  // unless a Mux that answers flag changes says it refused it.
  const uint8_t after = static_cast<uint8_t>(severity);
  enableFlags_[index] = after;
  // The flags message: the adaptor's class id in its memory layout, then the
  // enabled severities of VELTRA, Dev, Eng and Op (20 bytes).
  std::vector<uint8_t> data;
  ByteWriter w(&data);
  w.u32(adaptorClsid_.Data1);
  w.u16(adaptorClsid_.Data2);
  w.u16(adaptorClsid_.Data3);
  w.bytes(adaptorClsid_.Data4, sizeof(adaptorClsid_.Data4));
  for (const auto& flags : enableFlags_) w.u8(flags.load());
  const std::wstring audit = ChangeText(audience, static_cast<uint8_t>(before), after);

  HRESULT hr = message->SetData(0, static_cast<ULONG>(data.size()), data.data());
  if (SUCCEEDED(hr) && flagsReply_) {
    // The Mux says how it went: a refusal (no right to change flags) comes
    // back to the caller and the object keeps the mask the Mux kept.
    ComPtr<IMuxMessage> reply;
    hr = message->SetField(kFieldTransId, "0");
    if (SUCCEEDED(hr)) hr = muxConnection_->Transact(message.get(), reply.put(), kMuxTimeoutMs);
    if (SUCCEEDED(hr)) {
      const char* result = reply->GetField(kFieldHResult);
      hr = result ? static_cast<HRESULT>(std::atol(result)) : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
    if (FAILED(hr)) enableFlags_[index] = static_cast<uint8_t>(before);
  } else if (SUCCEEDED(hr)) {
    hr = muxConnection_->Post(message.get(), kMuxTimeoutMs);
  }
  // The attempt is recorded even when the Mux did not take it.
  LogAuditText(audit);
  return hr;
}

std::wstring CTAVDiagnosticAdaptor::ChangeText(uint32_t audience, uint8_t before, uint8_t after) const {
  const std::wstring audienceName = LoadResourceString(ResourceModule(), AudienceNameText(audience));
  std::wstring lines;
  for (const SeverityText& s : kSeverities) {
    const bool was = (before & s.bit) != 0;
    const bool is = (after & s.bit) != 0;
    if (was == is) continue;
    lines += FormatText(kChangeLineText, {LoadResourceString(ResourceModule(), s.nameText),
                                          was ? kEnabled : kDisabled, is ? kEnabled : kDisabled});
  }
  return FormatText(kChangeHeadingText, {audienceName, adaptorName_}) + lines;
}

}  // namespace hv
