#include "item/CTAVDiagnosticLogItem.h"

#include <climits>
#include <cwchar>
#include <new>
#include <stdexcept>
#include <utility>

#include "common/ModuleLock.h"
#include "common/Result.h"
#include "common/Unique.h"
#include "item/ItemStreamIo.h"
#include "log/ItemSchema.h"
#include "module/ModuleState.h"
#include "msgtext/MessageFormat.h"
#include "msgtext/ResourceCache.h"

namespace hv {
namespace {

// Only the address matters: it tells this copy of the code's items apart.
const char kModuleTag = 0;

void LeaveUserNameAsItIs(CTAVDiagnosticLogItem&) {}

// Longest text message an item keeps; longer texts are cut when it is built.
constexpr size_t kMaxMessageLength = 3000;
// The library's own string that explains a missing provider resource DLL.
constexpr UINT kMissingResourceDllString = 101;
constexpr wchar_t kMissingResourceDllText[] =
    L"Halvern Diagnostics failed to load the message for %s.  The provider's resource file could not be "
    L"found.  The resource id was %d.";

enum class Field {
  kLocation,
  kProvider,
  kDateTime,
  kUserName,
  kSeverity,
  kType,
  kAudience,
  kVerbosity,
  kMessage,
  kArguments,
  kUserDescription,
  kCeBasedMessage,
  kExtended,
};

struct StandardName {
  const wchar_t* name;
  Field field;
};

// Tried in this order; the first match wins, so an extended parameter that
// is named like one of these cannot be reached by name.
const StandardName kStandardNames[] = {
    {L"location", Field::kLocation},
    {L"provider", Field::kProvider},
    {L"datetime", Field::kDateTime},
    {L"username", Field::kUserName},
    {L"kind", Field::kSeverity},
    {L"severity", Field::kSeverity},
    {L"type", Field::kType},
    {L"audience", Field::kAudience},
    {L"verbosity", Field::kVerbosity},
    {L"msgtext", Field::kMessage},
    {L"arglist", Field::kArguments},
    {L"userdescription", Field::kUserDescription},
    {L"ce_based_message", Field::kCeBasedMessage},
};

bool SameName(const wchar_t* a, int aLength, const wchar_t* b, int bLength) {
  return CompareStringOrdinal(a ? a : L"", a ? aLength : 0, b ? b : L"", b ? bLength : 0, TRUE) == CSTR_EQUAL;
}

Field FieldOf(const wchar_t* name, UINT length) {
  // Letter case is folded unit by unit, so names of different lengths never
  // match: only a name of the right length is compared.
  for (const StandardName& standard : kStandardNames)
    if (std::wcslen(standard.name) == length && SameName(name, static_cast<int>(length), standard.name, -1))
      return standard.field;
  return Field::kExtended;
}

// A text up to its first NUL, as the text of a BSTR read as a C string.
void AssignUpToNul(const wchar_t* text, size_t length, std::wstring* to) {
  size_t end = 0;
  while (end < length && text[end] != L'\0') ++end;
  to->assign(text, end);
}

std::wstring TextOf(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

HRESULT ReturnText(const std::wstring& text, VARIANT* result) {
  BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  RETURN_IF_NULL_ALLOC(copy);
  result->vt = VT_BSTR;
  result->bstrVal = copy;
  return S_OK;
}

HRESULT ReturnLong(long value, VARIANT* result) {
  result->vt = VT_I4;
  result->lVal = value;
  return S_OK;
}

HRESULT CopyText(const std::wstring& text, BSTR* result) {
  *result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  RETURN_IF_NULL_ALLOC(*result);
  return S_OK;
}

// The element of an insertion-argument array as a VARIANT; arrays of plain
// types are accepted as well as arrays of VARIANT.
void ReadArrayElement(SAFEARRAY* array, VARTYPE elementType, LONG index, VARIANT* value) {
  VariantInit(value);
  if (elementType == VT_VARIANT) {
    SafeArrayGetElement(array, &index, value);
    return;
  }
  switch (elementType) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_BOOL: case VT_I4: case VT_UI4: case VT_INT:
    case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_ERROR: case VT_I8: case VT_UI8:
    case VT_BSTR: case VT_DISPATCH: case VT_UNKNOWN:
      if (SUCCEEDED(SafeArrayGetElement(array, &index, &value->llVal))) value->vt = elementType;
      break;
    default:
      break;  // records, decimals and the like stay empty
  }
}

// printf semantics of the platform: %s takes a wide string in a wide format.
std::wstring FormatProviderMessage(const std::wstring& format, const std::wstring& provider, long id) {
  std::wstring buffer(format.size() + provider.size() + 512, L'\0');
  const int length = _snwprintf(&buffer[0], buffer.size() - 1, format.c_str(), provider.c_str(), id);
  buffer.resize(length >= 0 ? static_cast<size_t>(length) : wcslen(buffer.c_str()));
  return buffer;
}

}  // namespace

UserNameFiller ItemUserNameFiller = &LeaveUserNameAsItIs;

bool CurrentUtcDate(DATE* date) {
  // The date changes once a second: items made within one second (a page of
  // items being read, a burst being logged) take the date converted first.
  static SRWLOCK lock = SRWLOCK_INIT;
  static ULONGLONG cachedSecond = ULLONG_MAX;
  static DATE cachedDate = 0.0;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG second = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000000;
  AcquireSRWLockShared(&lock);
  const bool cached = cachedSecond == second;
  const DATE cachedValue = cachedDate;
  ReleaseSRWLockShared(&lock);
  if (cached) {
    *date = cachedValue;
    return true;
  }
  SYSTEMTIME time;
  DATE converted = 0.0;
  if (!FileTimeToSystemTime(&now, &time) || !SystemTimeToVariantTime(&time, &converted)) return false;
  AcquireSRWLockExclusive(&lock);
  cachedSecond = second;
  cachedDate = converted;
  ReleaseSRWLockExclusive(&lock);
  *date = converted;
  return true;
}

const QIEntry CTAVDiagnosticLogItem::kInterfaces[] = {
    HV_QI_ENTRY(CTAVDiagnosticLogItem, ITAVDiagnosticLogItem),
    HV_QI_ENTRY(CTAVDiagnosticLogItem, ITAVDiagnosticLogItemEx),
    HV_QI_ENTRY_IID(CTAVDiagnosticLogItem, IID_IDispatch, ITAVDiagnosticLogItemEx),
    HV_QI_ENTRY(CTAVDiagnosticLogItem, IPersistStreamInit),
    HV_QI_ENTRY(CTAVDiagnosticLogItem, IMarshal),
    HV_QI_ENTRY(CTAVDiagnosticLogItem, IErrorInfo),
    HV_QI_ENTRY(CTAVDiagnosticLogItem, ICreateErrorInfo),
    HV_QI_ENTRY(CTAVDiagnosticLogItem, IPersistStream),
    HV_QI_ENTRY_IID(CTAVDiagnosticLogItem, IID_CTAVDiagnosticLogItemImpl, ITAVDiagnosticLogItemEx),
    HV_QI_ENTRY_IID(CTAVDiagnosticLogItem, IID_IItemMaker, IItemMaker),
    HV_QI_END,
};

CTAVDiagnosticLogItem::CTAVDiagnosticLogItem() : moduleTag_(&kModuleTag) {
  VariantInit(&userDescription_);
  // A new item is stamped with its creation time in UTC.
  CurrentUtcDate(&dateTime_);
}

CTAVDiagnosticLogItem::CTAVDiagnosticLogItem(ForLoading) : moduleTag_(&kModuleTag) { VariantInit(&userDescription_); }

CTAVDiagnosticLogItem::~CTAVDiagnosticLogItem() {
  // An in-flight copy gave its module lock back early; take it again so that
  // the base's release leaves the count balanced.
  if (inFlight_) LockModule();
  ClearInsertionArgs();
  ClearExtendedParams();
  VariantClear(&userDescription_);
  childData_.reset();
}

ComPtr<CTAVDiagnosticLogItem> CTAVDiagnosticLogItem::FromInterface(IUnknown* unknown) {
  if (!unknown) return nullptr;
  ITAVDiagnosticLogItemEx* found = nullptr;
  if (FAILED(unknown->QueryInterface(IID_CTAVDiagnosticLogItemImpl, reinterpret_cast<void**>(&found))) || !found)
    return nullptr;
  auto item = ComPtr<CTAVDiagnosticLogItem>::attach(static_cast<CTAVDiagnosticLogItem*>(found));
  if (item->moduleTag_ != &kModuleTag) return nullptr;
  return item;
}

void CTAVDiagnosticLogItem::ClearInsertionArgs() {
  for (VARIANT& argument : insertionArgs_) VariantClear(&argument);
  insertionArgs_.clear();
}

void CTAVDiagnosticLogItem::ClearExtendedParams() {
  for (ExtendedParam& param : extendedParams_) VariantClear(&param.value);
  extendedParams_.clear();
}

// --- ITAVDiagnosticLogItem ---

STDMETHODIMP CTAVDiagnosticLogItem::PutParam(BSTR szpName, VARIANT val) {
  auto lock = lock_.lock();
  // The private copy holds the value itself, also when a script client passes
  // its variable by reference.
  unique_variant value;
  HRESULT hr = VariantCopyInd(value.get(), &val);
  if (SUCCEEDED(hr)) hr = PutParamLocked(szpName, SysStringLen(szpName), *value.get());
  descriptionCache_.clear();
  return hr;
}

HRESULT CTAVDiagnosticLogItem::PutParamLocked(const wchar_t* name, UINT nameLength, VARIANT& value) {
  const Field field = FieldOf(name, nameLength);
  switch (field) {
    case Field::kLocation:
    case Field::kProvider:
    case Field::kUserName: {
      RETURN_IF_FAILED(VariantChangeType(&value, &value, 0, VT_BSTR));
      std::wstring& target = field == Field::kLocation ? location_ : field == Field::kProvider ? provider_ : userName_;
      target = TextOf(value.bstrVal);
      return S_OK;
    }
    case Field::kDateTime:
      RETURN_IF_FAILED(VariantChangeType(&value, &value, 0, VT_DATE));
      dateTime_ = value.date;
      return S_OK;
    case Field::kSeverity:
    case Field::kType:
    case Field::kAudience:
    case Field::kVerbosity:
      RETURN_IF_FAILED(VariantChangeType(&value, &value, 0, VT_I4));
      if (field == Field::kSeverity) severity_ = value.lVal;
      if (field == Field::kType) audience_ = value.lVal == 1 ? 1 : 2;  // User, else Dev
      if (field == Field::kAudience) audience_ = value.lVal;
      if (field == Field::kVerbosity) verbosity_ = value.lVal;
      return S_OK;
    case Field::kMessage:
      if (value.vt == VT_BSTR) {
        messageText_ = TextOf(value.bstrVal);
        messageId_ = -1;
        return S_OK;
      }
      RETURN_IF_FAILED(VariantChangeType(&value, &value, 0, VT_I4));
      messageId_ = value.lVal;
      messageText_.clear();
      return S_OK;
    case Field::kArguments: {
      // Anything but a one-dimensional array of VARIANT leaves the arguments
      // as they are.
      if (value.vt != (VT_ARRAY | VT_VARIANT) || !value.parray || SafeArrayGetDim(value.parray) != 1) return S_OK;
      LONG lower = 0, upper = -1;
      RETURN_IF_FAILED(SafeArrayGetLBound(value.parray, 1, &lower));
      RETURN_IF_FAILED(SafeArrayGetUBound(value.parray, 1, &upper));
      std::vector<VARIANT> arguments;
      try {
        arguments.reserve(upper >= lower ? static_cast<size_t>(upper - lower) + 1 : 0);
      } catch (const std::exception&) {
        return E_OUTOFMEMORY;
      }
      for (LONG index = lower; index <= upper; ++index) {
        VARIANT element;
        VariantInit(&element);
        const HRESULT hr = SafeArrayGetElement(value.parray, &index, &element);
        if (FAILED(hr)) {
          for (VARIANT& argument : arguments) VariantClear(&argument);
          return hr;
        }
        arguments.push_back(element);
      }
      ClearInsertionArgs();
      insertionArgs_ = std::move(arguments);
      return S_OK;
    }
    case Field::kUserDescription:
      RETURN_HR_IF(E_INVALIDARG, value.vt != VT_EMPTY && value.vt != VT_BSTR);
      VariantClear(&userDescription_);
      userDescription_ = value;
      value.vt = VT_EMPTY;  // ownership moved into the field
      return S_OK;
    case Field::kCeBasedMessage:
      RETURN_IF_FAILED(VariantChangeType(&value, &value, 0, VT_BOOL));
      ceBasedMessage_ = value.boolVal == VARIANT_TRUE;
      return S_OK;
    case Field::kExtended:
      break;
  }
  ExtendedParam* param = nullptr;
  for (ExtendedParam& entry : extendedParams_) {
    if (SameName(entry.name.data(), static_cast<int>(entry.name.size()), name, static_cast<int>(nameLength))) {
      param = &entry;
      break;
    }
  }
  RETURN_HR_IF_NULL(E_FAIL, param);
  // A value that does not convert to the declared type is ignored.
  unique_variant converted;
  if (SUCCEEDED(VariantChangeType(converted.get(), &value, 0, param->declaredType))) {
    VariantClear(&param->value);
    converted.release(&param->value);
  }
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::GetParam(BSTR szpName, VARIANT* pval) {
  RETURN_HR_IF_NULL(E_FAIL, pval);
  auto lock = lock_.lock();
  return GetParamLocked(szpName, SysStringLen(szpName), pval);
}

HRESULT CTAVDiagnosticLogItem::GetParamLocked(const wchar_t* name, UINT nameLength, VARIANT* result) {
  // Standard fields are written over *result without clearing it, as the
  // interface has always done; only the copied values clear the destination.
  switch (FieldOf(name, nameLength)) {
    case Field::kLocation:
      return ReturnText(location_, result);
    case Field::kProvider:
      return ReturnText(provider_, result);
    case Field::kDateTime:
      result->vt = VT_DATE;
      result->date = dateTime_;
      return S_OK;
    case Field::kUserName:
      return ReturnText(userName_, result);
    case Field::kSeverity:
      return ReturnLong(severity_, result);
    case Field::kType:
      return ReturnLong(audience_ == 1 ? 1 : 2, result);
    case Field::kAudience:
      return ReturnLong(audience_, result);
    case Field::kVerbosity:
      return ReturnLong(verbosity_, result);
    case Field::kMessage:
      if (messageId_ != -1) return ReturnLong(messageId_, result);
      return ReturnText(messageText_, result);
    case Field::kArguments: {
      unique_safearray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(insertionArgs_.size())));
      RETURN_IF_NULL_ALLOC(array.get());
      for (LONG index = 0; index < static_cast<LONG>(insertionArgs_.size()); ++index)
        RETURN_IF_FAILED(SafeArrayPutElement(array.get(), &index, &insertionArgs_[index]));
      result->vt = VT_ARRAY | VT_VARIANT;
      result->parray = array.release();
      return S_OK;
    }
    case Field::kUserDescription:
      return VariantCopy(result, &userDescription_);
    case Field::kCeBasedMessage:
      result->vt = VT_BOOL;
      result->boolVal = ceBasedMessage_ ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case Field::kExtended:
      break;
  }
  for (ExtendedParam& entry : extendedParams_)
    if (SameName(entry.name.data(), static_cast<int>(entry.name.size()), name, static_cast<int>(nameLength)))
      return VariantCopy(result, &entry.value);
  return E_FAIL;
}

// --- ITAVDiagnosticLogItemEx ---

STDMETHODIMP CTAVDiagnosticLogItem::ExtendedParameterCount(ULONG* dwCount) {
  RETURN_HR_IF_NULL(E_POINTER, dwCount);
  auto lock = lock_.lock();
  *dwCount = static_cast<ULONG>(extendedParams_.size());
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::ParameterNameAndValue(ULONG dwCount, BSTR* bstrName, VARIANT* vValue) {
  RETURN_HR_IF_NULL(E_POINTER, bstrName);
  *bstrName = nullptr;
  RETURN_HR_IF_NULL(E_POINTER, vValue);
  auto lock = lock_.lock();
  RETURN_HR_IF(E_INVALIDARG, dwCount >= extendedParams_.size());
  ExtendedParam& entry = extendedParams_[dwCount];
  unique_bstr name;
  RETURN_IF_FAILED(CopyText(entry.name, name.put()));
  RETURN_IF_FAILED(VariantCopy(vValue, &entry.value));
  *bstrName = name.release();
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::SetChild(IUnknown* pUnk) {
  auto lock = lock_.lock();
  childData_.reset();
  if (!pUnk) return S_OK;

  ComPtr<IPersistStreamInit> child;
  ComPtr<ITAVDiagnosticLogItem> childItem;
  ComPtr<IErrorInfo> errorInfo;
  if (SUCCEEDED(pUnk->QueryInterface(IID_ITAVDiagnosticLogItem, childItem.put_void()))) {
    // Only an item stores itself in the item stream form.
    RETURN_HR_IF(E_INVALIDARG, FAILED(pUnk->QueryInterface(IID_IPersistStreamInit, child.put_void())));
  } else if (SUCCEEDED(pUnk->QueryInterface(IID_IErrorInfo, errorInfo.put_void()))) {
    // A foreign error object becomes an item holding its error fields; a
    // field it cannot give stays empty.
    ComPtr<CTAVDiagnosticLogItem> converted = MakeObject<CTAVDiagnosticLogItem>();
    RETURN_IF_NULL_ALLOC(converted);
    unique_bstr description, helpFile, source;
    GUID guid = {};
    DWORD helpContext = 0;
    errorInfo->GetDescription(description.put());
    converted->SetDescription(description.get());
    errorInfo->GetGUID(&guid);
    converted->SetGUID(guid);
    errorInfo->GetHelpContext(&helpContext);
    converted->SetHelpContext(helpContext);
    errorInfo->GetHelpFile(helpFile.put());
    converted->SetHelpFile(helpFile.get());
    errorInfo->GetSource(source.put());
    converted->SetSource(source.get());
    child = ComPtr<IPersistStreamInit>(static_cast<IPersistStreamInit*>(converted.get()));
  } else {
    return E_INVALIDARG;
  }

  // Storing a child that names no user fills in the process's account; this
  // changes the caller's object.
  if (ComPtr<CTAVDiagnosticLogItem> own = FromInterface(child.get())) {
    auto childLock = own->Lock();
    if (own->userName_.empty()) ItemUserNameFiller(*own);
  }

  ComPtr<IStream> stream;
  ULARGE_INTEGER size = {};
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) || FAILED(child->GetSizeMax(&size)) ||
      FAILED(stream->SetSize(size)))
    return E_FAIL;
  // Whatever the child's data leaves of the measured size is filler of zeros.
  HGLOBAL memory = nullptr;
  if (size.QuadPart && SUCCEEDED(GetHGlobalFromStream(stream.get(), &memory))) {
    if (void* data = GlobalLock(memory)) {
      ZeroMemory(data, static_cast<size_t>(size.QuadPart));
      GlobalUnlock(memory);
    }
  }
  if (FAILED(child->Save(stream.get(), FALSE))) return E_FAIL;
  childData_ = std::move(stream);
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::GetChild(IUnknown** ppUnk) {
  RETURN_HR_IF_NULL(E_POINTER, ppUnk);
  *ppUnk = nullptr;
  auto lock = lock_.lock();
  if (!childData_) return S_OK;
  ComPtr<CTAVDiagnosticLogItem> child = MakeObject<CTAVDiagnosticLogItem>();
  RETURN_IF_NULL_ALLOC(child);
  // The stream may be shared with copies of this item on other threads; a
  // clone has its own position over the same bytes.
  ComPtr<IStream> reader;
  LARGE_INTEGER start = {};
  if (FAILED(childData_->Clone(reader.put())) || FAILED(reader->Seek(start, STREAM_SEEK_SET, nullptr)) ||
      FAILED(child->Load(reader.get())))
    return E_FAIL;
  *ppUnk = child->Inner();
  (*ppUnk)->AddRef();
  return S_OK;
}

// --- IPersistStreamInit / IPersistStream ---

STDMETHODIMP CTAVDiagnosticLogItem::GetClassID(CLSID* pClassID) { return E_NOTIMPL; }

STDMETHODIMP CTAVDiagnosticLogItem::IsDirty() { return E_NOTIMPL; }

STDMETHODIMP CTAVDiagnosticLogItem::InitNew() { return E_NOTIMPL; }

STDMETHODIMP CTAVDiagnosticLogItem::Load(IStream* pstm) {
  RETURN_HR_IF_NULL(E_POINTER, pstm);
  auto lock = lock_.lock();
  // The stream brings its own table and child.
  ClearExtendedParams();
  childData_.reset();
  return SerializeItem(pstm, nullptr, false);
}

STDMETHODIMP CTAVDiagnosticLogItem::Save(IStream* pstm, BOOL fClearDirty) {
  RETURN_HR_IF_NULL(E_POINTER, pstm);
  return SerializeItem(pstm, nullptr, true);
}

STDMETHODIMP CTAVDiagnosticLogItem::GetSizeMax(ULARGE_INTEGER* pCbSize) {
  RETURN_HR_IF_NULL(E_POINTER, pCbSize);
  ULONG size = 0;
  RETURN_IF_FAILED(SerializeItem(nullptr, &size, false));
  pCbSize->QuadPart = size;
  return S_OK;
}

HRESULT CTAVDiagnosticLogItem::SerializeItem(IStream* stream, ULONG* size, bool save) {
  using Mode = ItemStreamIo::Mode;
  auto lock = lock_.lock();
  ItemStreamIo io(stream, !stream ? Mode::kMeasure : save ? Mode::kSave : Mode::kLoad);
  const bool loading = io.loading();

  auto fields = [&]() -> HRESULT {
    uint32_t version = 2;
    RETURN_IF_FAILED(io.U32(&version));
    RETURN_IF_FAILED(io.String(&location_));
    RETURN_IF_FAILED(io.String(&provider_));
    RETURN_IF_FAILED(io.String(&messageText_));
    RETURN_IF_FAILED(io.String(&userName_));
    RETURN_IF_FAILED(io.String(&helpFile_));
    RETURN_IF_FAILED(io.Date(&dateTime_));
    RETURN_IF_FAILED(io.I32(&severity_));
    RETURN_IF_FAILED(io.I32(&audience_));
    RETURN_IF_FAILED(io.I32(&verbosity_));
    uint32_t helpContext = helpContext_;
    RETURN_IF_FAILED(io.U32(&helpContext));
    helpContext_ = helpContext;
    RETURN_IF_FAILED(io.Guid(&errorGuid_));
    RETURN_IF_FAILED(io.I32(&messageId_));

    uint32_t argumentCount = static_cast<uint32_t>(insertionArgs_.size());
    if (loading) ClearInsertionArgs();
    RETURN_IF_FAILED(io.U32(&argumentCount));
    if (loading && argumentCount) {
      RETURN_HR_IF(E_OUTOFMEMORY, !io.PlausibleCount(argumentCount));
      try {
        insertionArgs_.resize(argumentCount);
      } catch (const std::exception&) {
        return E_OUTOFMEMORY;
      }
      for (VARIANT& argument : insertionArgs_) VariantInit(&argument);
    }
    for (VARIANT& argument : insertionArgs_) RETURN_IF_FAILED(io.Variant(&argument));

    RETURN_IF_FAILED(io.Child(&childData_));

    uint32_t extendedCount = static_cast<uint32_t>(extendedParams_.size());
    RETURN_IF_FAILED(io.U32(&extendedCount));
    if (loading) {
      // A table that cannot be had leaves the item without extended parameters.
      RETURN_HR_IF(E_FAIL, !io.PlausibleCount(extendedCount));
      try {
        extendedParams_.resize(extendedCount);
      } catch (const std::exception&) {
        extendedParams_.clear();
        return E_FAIL;
      }
      for (ExtendedParam& param : extendedParams_) {
        VariantInit(&param.value);
        param.declaredType = VT_EMPTY;
      }
    }
    for (ExtendedParam& param : extendedParams_) {
      RETURN_IF_FAILED(io.String(&param.name));
      uint32_t declaredType = param.declaredType;
      RETURN_IF_FAILED(io.U32(&declaredType));
      param.declaredType = static_cast<VARTYPE>(declaredType & 0xFFFF);
      RETURN_IF_FAILED(io.Variant(&param.value));
    }

    // Streams of version 1 end before the user description.
    if (version == 2) RETURN_IF_FAILED(io.Variant(&userDescription_));
    return S_OK;
  };

  HRESULT hr = E_OUTOFMEMORY;
  try {
    hr = fields();
  } catch (const std::bad_alloc&) {
    // A buffer for a large save could not grow; no exception leaves the item.
  }
  if (io.mode() == Mode::kSave) {
    const HRESULT flushed = io.Flush();
    if (SUCCEEDED(hr)) hr = flushed;
  }
  // Whatever was read may have changed the message.
  if (loading) descriptionCache_.clear();
  RETURN_IF_FAILED(hr);
  if (size) *size = static_cast<ULONG>(io.size());
  return S_OK;
}

// --- IMarshal ---

void CTAVDiagnosticLogItem::BeginRemoteView(DWORD destContext) {
  // The mark is reset under the lock: another thread's marshal of the same
  // item may be between its own Begin and End.
  lock_.enter();
  savedMessageId_ = -1;
  if (destContext != MSHCTX_DIFFERENTMACHINE || messageId_ == -1) return;
  // The provider's resource DLL may not exist over there: send the text.
  unique_bstr description;
  if (FAILED(GetDescription(description.put()))) return;
  savedMessageId_ = messageId_;
  messageText_ = TextOf(description.get());
  messageId_ = -1;
}

void CTAVDiagnosticLogItem::EndRemoteView() {
  if (savedMessageId_ != -1) {
    messageText_.clear();
    messageId_ = savedMessageId_;
  }
  lock_.leave();
}

STDMETHODIMP CTAVDiagnosticLogItem::GetUnmarshalClass(REFIID riid, void* pv, DWORD dwDestContext,
                                                      void* pvDestContext, DWORD mshlflags, CLSID* pCid) {
  RETURN_HR_IF_NULL(E_POINTER, pCid);
  // Every receiver, even in the same apartment, gets an item of its own.
  *pCid = CLSID_TAVDiagnosticLogItem;
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::GetMarshalSizeMax(REFIID riid, void* pv, DWORD dwDestContext,
                                                      void* pvDestContext, DWORD mshlflags, DWORD* pSize) {
  RETURN_HR_IF_NULL(E_POINTER, pSize);
  *pSize = 0;
  ULARGE_INTEGER size = {};
  BeginRemoteView(dwDestContext);
  const HRESULT hr = GetSizeMax(&size);
  EndRemoteView();
  RETURN_IF_FAILED(hr);
  *pSize = size.LowPart;
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::MarshalInterface(IStream* pstm, REFIID riid, void* pv, DWORD dwDestContext,
                                                     void* pvDestContext, DWORD mshlflags) {
  BeginRemoteView(dwDestContext);
  const HRESULT hr = Save(pstm, FALSE);
  EndRemoteView();
  return hr;
}

STDMETHODIMP CTAVDiagnosticLogItem::UnmarshalInterface(IStream* pstm, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  *ppv = nullptr;
  RETURN_IF_FAILED(Load(pstm));
  return QueryInterface(riid, ppv);
}

STDMETHODIMP CTAVDiagnosticLogItem::ReleaseMarshalData(IStream* pstm) { return S_OK; }

STDMETHODIMP CTAVDiagnosticLogItem::DisconnectObject(DWORD dwReserved) { return S_OK; }

// --- IErrorInfo ---

STDMETHODIMP CTAVDiagnosticLogItem::GetGUID(GUID* pGUID) {
  RETURN_HR_IF_NULL(E_POINTER, pGUID);
  auto lock = lock_.lock();
  *pGUID = errorGuid_;
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::GetSource(BSTR* pBstrSource) {
  RETURN_HR_IF_NULL(E_POINTER, pBstrSource);
  auto lock = lock_.lock();
  return CopyText(provider_, pBstrSource);
}

STDMETHODIMP CTAVDiagnosticLogItem::GetDescription(BSTR* pBstrDescription) {
  RETURN_HR_IF_NULL(E_POINTER, pBstrDescription);
  *pBstrDescription = nullptr;
  auto lock = lock_.lock();
  RETURN_IF_FAILED(DescribeLocked());
  return CopyText(descriptionCache_, pBstrDescription);
}

HRESULT CTAVDiagnosticLogItem::DescribeLocked() {
  const LANGID language = LANGIDFROMLCID(GetThreadLocale());
  if (!descriptionCache_.empty() && descriptionLangId_ == language) return S_OK;
  std::wstring messageTemplate;
  if (messageId_ == -1) {
    // A text message is its own template.
  } else if (HMODULE module = GetResourceModule()) {
    messageTemplate = LoadResourceString(module, static_cast<UINT>(messageId_));
    if (messageTemplate.empty()) messageTemplate = L"ID = " + std::to_wstring(messageId_);
  } else {
    std::wstring format = LoadResourceString(ResourceModule(), kMissingResourceDllString);
    if (format.empty()) format = kMissingResourceDllText;
    messageTemplate = FormatProviderMessage(format, provider_, messageId_);
  }
  std::wstring description;
  RETURN_HR_IF(E_FAIL, !FormatInsertions(messageId_ == -1 ? messageText_ : messageTemplate, insertionArgs_,
                                         &description));
  descriptionCache_ = std::move(description);
  descriptionLangId_ = language;
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::GetHelpFile(BSTR* pBstrHelpFile) {
  RETURN_HR_IF_NULL(E_POINTER, pBstrHelpFile);
  auto lock = lock_.lock();
  return CopyText(helpFile_, pBstrHelpFile);
}

STDMETHODIMP CTAVDiagnosticLogItem::GetHelpContext(DWORD* pdwHelpContext) {
  RETURN_HR_IF_NULL(E_POINTER, pdwHelpContext);
  auto lock = lock_.lock();
  *pdwHelpContext = helpContext_;
  return S_OK;
}

// --- ICreateErrorInfo ---

STDMETHODIMP CTAVDiagnosticLogItem::SetGUID(REFGUID rguid) {
  auto lock = lock_.lock();
  errorGuid_ = rguid;
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::SetSource(LPOLESTR szSource) {
  auto lock = lock_.lock();
  provider_ = szSource ? szSource : L"";
  descriptionCache_.clear();
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::SetDescription(LPOLESTR szDescription) {
  auto lock = lock_.lock();
  // The message becomes literal text; its insertion arguments stay and fill
  // any insertion places the text has.
  messageText_ = szDescription ? szDescription : L"";
  messageId_ = -1;
  descriptionCache_.clear();
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::SetHelpFile(LPOLESTR szHelpFile) {
  auto lock = lock_.lock();
  helpFile_ = szHelpFile ? szHelpFile : L"";
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogItem::SetHelpContext(DWORD dwHelpContext) {
  auto lock = lock_.lock();
  helpContext_ = dwHelpContext;
  return S_OK;
}

// --- IItemMaker ---

STDMETHODIMP CTAVDiagnosticLogItem::MakeLoadedItem(IStream* stream, ULONG offset, ULONG end, IUnknown** item) {
  RETURN_HR_IF_NULL(E_POINTER, item);
  *item = nullptr;
  RETURN_HR_IF_NULL(E_POINTER, stream);
  ComPtr<CTAVDiagnosticLogItem> made = MakeObject<CTAVDiagnosticLogItem>(ForLoading{});
  RETURN_IF_NULL_ALLOC(made);
  LARGE_INTEGER start;
  start.QuadPart = offset;
  RETURN_IF_FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr));
  RETURN_IF_FAILED(made->Load(stream));
  ULARGE_INTEGER position = {};
  const LARGE_INTEGER zero = {};
  RETURN_IF_FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &position));
  RETURN_HR_IF(E_FAIL, position.QuadPart > end);
  *item = made->Inner();
  (*item)->AddRef();
  return S_OK;
}

// --- Internal operations ---

void CTAVDiagnosticLogItem::CopyFrom(CTAVDiagnosticLogItem& source) {
  auto lock = lock_.lock();
  if (&source == this) return;
  location_ = source.location_;
  provider_ = source.provider_;
  userName_ = source.userName_;
  dateTime_ = source.dateTime_;
  severity_ = source.severity_;
  audience_ = source.audience_;
  verbosity_ = source.verbosity_;
  messageText_ = source.messageText_;
  helpFile_ = source.helpFile_;
  helpContext_ = source.helpContext_;
  errorGuid_ = source.errorGuid_;
  messageId_ = source.messageId_;
  VariantCopy(&userDescription_, &source.userDescription_);
  ceBasedMessage_ = source.ceBasedMessage_;
  ClearInsertionArgs();
  insertionArgs_.reserve(source.insertionArgs_.size());
  for (VARIANT& argument : source.insertionArgs_) {
    VARIANT copy;
    VariantInit(&copy);
    VariantCopy(&copy, &argument);
    insertionArgs_.push_back(copy);
  }
  // Stored child bytes never change, so the copy shares them.
  childData_ = source.childData_;
  ClearExtendedParams();
  extendedParams_.reserve(source.extendedParams_.size());
  for (ExtendedParam& param : source.extendedParams_) {
    ExtendedParam copy;
    copy.name = param.name;
    copy.declaredType = param.declaredType;
    VariantInit(&copy.value);
    VariantCopy(&copy.value, &param.value);
    extendedParams_.push_back(std::move(copy));
  }
  descriptionCache_.clear();
}

void CTAVDiagnosticLogItem::SetStandardFields(const DATE* date, const wchar_t* userName, long severity,
                                              long audience, long verbosity, const VARIANT& message,
                                              SAFEARRAY* args) {
  auto lock = lock_.lock();
  userName_ = userName ? userName : L"";
  dateTime_ = date ? *date : 0.0;  // 0.0: delivery stamps the time
  severity_ = severity;
  audience_ = audience;
  verbosity_ = verbosity;

  if (message.vt == VT_BSTR) {
    messageId_ = -1;
    messageText_ = TextOf(message.bstrVal);
    if (messageText_.size() > kMaxMessageLength) messageText_.resize(kMaxMessageLength);
  } else {
    messageText_.clear();
    unique_variant id;
    // A message that is neither text nor a number is no message at all.
    messageId_ = SUCCEEDED(VariantChangeType(id.get(), const_cast<VARIANT*>(&message), 0, VT_I4)) ? id->lVal : -1;
  }

  ClearInsertionArgs();
  LONG lower = 0, upper = 0;
  if (args && SUCCEEDED(SafeArrayGetLBound(args, 1, &lower)) && SUCCEEDED(SafeArrayGetUBound(args, 1, &upper)) &&
      upper >= lower) {
    // An array that does not record its element type is taken for VARIANTs.
    VARTYPE elementType = VT_VARIANT;
    if (FAILED(SafeArrayGetVartype(args, &elementType)) || elementType == VT_EMPTY) elementType = VT_VARIANT;
    insertionArgs_.resize(static_cast<size_t>(upper - lower) + 1);
    for (LONG index = lower; index <= upper; ++index)
      ReadArrayElement(args, elementType, index, &insertionArgs_[index - lower]);
  }
  descriptionCache_.clear();
}

HRESULT CTAVDiagnosticLogItem::ApplySchema(const std::wstring& schema) {
  std::vector<std::pair<std::wstring, std::wstring>> declarations = ParseItemSchema(schema);
  std::vector<ExtendedParam> table;
  table.reserve(declarations.size());
  for (auto& declaration : declarations) {
    ExtendedParam param;
    param.name = std::move(declaration.first);
    VariantInit(&param.value);
    param.declaredType = SchemaTypeToVarType(declaration.second);
    table.push_back(std::move(param));
  }
  auto lock = lock_.lock();
  ClearExtendedParams();
  extendedParams_ = std::move(table);
  return S_OK;
}

void CTAVDiagnosticLogItem::CopyExportFields(ItemExportFields* fields) {
  unique_variant otherDescription;  // converted once the lock is let go
  {
    auto lock = lock_.lock();
    AssignUpToNul(location_.data(), location_.size(), &fields->location);
    AssignUpToNul(provider_.data(), provider_.size(), &fields->provider);
    AssignUpToNul(userName_.data(), userName_.size(), &fields->userName);
    if (SUCCEEDED(DescribeLocked()))
      AssignUpToNul(descriptionCache_.data(), descriptionCache_.size(), &fields->message);
    else
      fields->message.clear();
    fields->dateTime = dateTime_;
    fields->severity = severity_;
    fields->audience = audience_;
    fields->verbosity = verbosity_;
    fields->userDescription.clear();
    if (userDescription_.vt == VT_BSTR) {
      const BSTR text = userDescription_.bstrVal;
      AssignUpToNul(text, text ? SysStringLen(text) : 0, &fields->userDescription);
    } else if (userDescription_.vt != VT_EMPTY && FAILED(VariantCopy(otherDescription.get(), &userDescription_))) {
      return;
    }
  }
  // Only a stream can bring a description of another type; it reads as its text.
  if (otherDescription->vt != VT_EMPTY &&
      SUCCEEDED(VariantChangeType(otherDescription.get(), otherDescription.get(), 0, VT_BSTR)) &&
      otherDescription->vt == VT_BSTR && otherDescription->bstrVal)
    fields->userDescription.assign(otherDescription->bstrVal);
}

void CTAVDiagnosticLogItem::ClearExtendedValues() {
  auto lock = lock_.lock();
  for (ExtendedParam& param : extendedParams_) VariantClear(&param.value);
}

ExtendedParam* CTAVDiagnosticLogItem::FindExtendedParam(const wchar_t* name) {
  auto lock = lock_.lock();
  for (ExtendedParam& entry : extendedParams_)
    if (SameName(entry.name.data(), static_cast<int>(entry.name.size()), name, -1)) return &entry;
  return nullptr;
}

HRESULT CTAVDiagnosticLogItem::DeliveryResult() {
  auto lock = lock_.lock();
  return deliveryResult_;
}

void CTAVDiagnosticLogItem::SetDeliveryResult(HRESULT hr) {
  auto lock = lock_.lock();
  deliveryResult_ = hr;
}

HANDLE CTAVDiagnosticLogItem::CompletionEvent() {
  auto lock = lock_.lock();
  return completionEvent_;
}

void CTAVDiagnosticLogItem::SetCompletionEvent(HANDLE event) {
  auto lock = lock_.lock();
  completionEvent_ = event;
}

bool CTAVDiagnosticLogItem::ForgetCompletionEvent(HANDLE event) {
  auto lock = lock_.lock();
  if (completionEvent_ != event) return false;
  completionEvent_ = nullptr;
  return true;
}

void CTAVDiagnosticLogItem::SignalCompletion() {
  auto lock = lock_.lock();
  if (!completionEvent_) return;
  SetEvent(completionEvent_);
  completionEvent_ = nullptr;
}

bool CTAVDiagnosticLogItem::InFlight() {
  auto lock = lock_.lock();
  return inFlight_;
}

void CTAVDiagnosticLogItem::MarkInFlight() {
  auto lock = lock_.lock();
  if (inFlight_) return;
  inFlight_ = true;
  // A copy waiting in the Mux link must not keep the library loaded.
  UnlockModule();
}

HMODULE CTAVDiagnosticLogItem::GetResourceModule() {
  std::wstring provider;
  {
    auto lock = lock_.lock();
    provider = provider_;
  }
  return GetProviderResourceModule(provider);
}

std::wstring CTAVDiagnosticLogItem::Location() {
  auto lock = lock_.lock();
  return location_;
}

std::wstring CTAVDiagnosticLogItem::Provider() {
  auto lock = lock_.lock();
  return provider_;
}

std::wstring CTAVDiagnosticLogItem::UserName() {
  auto lock = lock_.lock();
  return userName_;
}

void CTAVDiagnosticLogItem::SetUserName(const std::wstring& userName) {
  auto lock = lock_.lock();
  userName_ = userName;
}

DATE CTAVDiagnosticLogItem::DateTime() {
  auto lock = lock_.lock();
  return dateTime_;
}

void CTAVDiagnosticLogItem::SetDateTime(DATE dateTime) {
  auto lock = lock_.lock();
  dateTime_ = dateTime;
}

void CTAVDiagnosticLogItem::ResetDateTime() {
  auto lock = lock_.lock();
  dateTime_ = 0.0;
  descriptionCache_.clear();
}

void CTAVDiagnosticLogItem::SetLocation(const std::wstring& location) {
  auto lock = lock_.lock();
  location_ = location;
  descriptionCache_.clear();
}

void CTAVDiagnosticLogItem::SetProvider(const std::wstring& provider) {
  auto lock = lock_.lock();
  provider_ = provider;
  descriptionCache_.clear();
}

long CTAVDiagnosticLogItem::Severity() {
  auto lock = lock_.lock();
  return severity_;
}

long CTAVDiagnosticLogItem::Audience() {
  auto lock = lock_.lock();
  return audience_;
}

long CTAVDiagnosticLogItem::MessageId() {
  auto lock = lock_.lock();
  return messageId_;
}

std::wstring CTAVDiagnosticLogItem::MessageText() {
  auto lock = lock_.lock();
  return messageText_;
}

std::vector<VARIANT> CTAVDiagnosticLogItem::InsertionArgs() {
  auto lock = lock_.lock();
  std::vector<VARIANT> copies(insertionArgs_.size());
  for (size_t i = 0; i < insertionArgs_.size(); ++i) {
    VariantInit(&copies[i]);
    VariantCopy(&copies[i], &insertionArgs_[i]);
  }
  return copies;
}

bool CTAVDiagnosticLogItem::HasChild() {
  auto lock = lock_.lock();
  return static_cast<bool>(childData_);
}

}  // namespace hv
