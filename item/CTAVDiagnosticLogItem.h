// The log item: standard fields, extended parameters declared by the log's
// schema, insertion arguments and an optional child held by value. It travels
// between processes by value (its stream form is the marshal data) and
// presents itself as an error object whose description is the formatted
// message.
#pragma once
#include <windows.h>
#include <objidl.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "TAVDiagnostics.h"
#include "common/ComObject.h"
#include "common/CriticalSection.h"
#include "common/Dispatch.h"
#include "common/ItemMaker.h"

namespace hv {

// One extended parameter: its value is converted to declaredType when set.
struct ExtendedParam {
  std::wstring name;
  VARIANT value;  // owned; VT_EMPTY until set
  VARTYPE declaredType = VT_EMPTY;
};

// The standard fields an export writes of an item, taken under its lock at
// once, each as the item's interface gives it: texts end at their first NUL,
// a message that cannot be formatted is empty. One set reused from item to
// item keeps the room of its strings.
struct ItemExportFields {
  std::wstring location;
  std::wstring provider;
  std::wstring userName;
  std::wstring message;
  std::wstring userDescription;
  DATE dateTime = 0.0;
  long severity = 0;
  long audience = 0;
  long verbosity = 0;
};

// Private interface id through which the library recognises its own items
// behind any of their interface pointers.
// {2B1C8A4E-7F3D-4E59-9C61-5A0B3E7D9F12}
inline constexpr IID IID_CTAVDiagnosticLogItemImpl = {
    0x2b1c8a4e, 0x7f3d, 0x4e59, {0x9c, 0x61, 0x5a, 0x0b, 0x3e, 0x7d, 0x9f, 0x12}};

class CTAVDiagnosticLogItem final : public DispatchImpl<ITAVDiagnosticLogItemEx>,
                                    public IPersistStreamInit,
                                    public IPersistStream,
                                    public IMarshal,
                                    public IErrorInfo,
                                    public ICreateErrorInfo,
                                    public IItemMaker,
                                    public ComObject {
 public:
  HV_COM_OBJECT(CTAVDiagnosticLogItem)
  static const QIEntry kInterfaces[];

  CTAVDiagnosticLogItem();
  // An item about to be loaded: it takes no creation stamp.
  struct ForLoading {};
  explicit CTAVDiagnosticLogItem(ForLoading);

  // The library's own item behind an interface pointer, or null for a
  // foreign object.
  static ComPtr<CTAVDiagnosticLogItem> FromInterface(IUnknown* unknown);

  // ITAVDiagnosticLogItem
  STDMETHODIMP PutParam(BSTR szpName, VARIANT val) override;
  STDMETHODIMP GetParam(BSTR szpName, VARIANT* pval) override;
  // ITAVDiagnosticLogItemEx
  STDMETHODIMP ExtendedParameterCount(ULONG* dwCount) override;
  STDMETHODIMP ParameterNameAndValue(ULONG dwCount, BSTR* bstrName, VARIANT* vValue) override;
  STDMETHODIMP SetChild(IUnknown* pUnk) override;
  STDMETHODIMP GetChild(IUnknown** ppUnk) override;

  // IPersistStreamInit and IPersistStream (the first five are shared)
  STDMETHODIMP GetClassID(CLSID* pClassID) override;
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP Load(IStream* pstm) override;
  STDMETHODIMP Save(IStream* pstm, BOOL fClearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* pCbSize) override;
  STDMETHODIMP InitNew() override;

  // IMarshal
  STDMETHODIMP GetUnmarshalClass(REFIID riid, void* pv, DWORD dwDestContext, void* pvDestContext,
                                 DWORD mshlflags, CLSID* pCid) override;
  STDMETHODIMP GetMarshalSizeMax(REFIID riid, void* pv, DWORD dwDestContext, void* pvDestContext,
                                 DWORD mshlflags, DWORD* pSize) override;
  STDMETHODIMP MarshalInterface(IStream* pstm, REFIID riid, void* pv, DWORD dwDestContext,
                                void* pvDestContext, DWORD mshlflags) override;
  STDMETHODIMP UnmarshalInterface(IStream* pstm, REFIID riid, void** ppv) override;
  STDMETHODIMP ReleaseMarshalData(IStream* pstm) override;
  STDMETHODIMP DisconnectObject(DWORD dwReserved) override;

  // IErrorInfo
  STDMETHODIMP GetGUID(GUID* pGUID) override;
  STDMETHODIMP GetSource(BSTR* pBstrSource) override;
  STDMETHODIMP GetDescription(BSTR* pBstrDescription) override;
  STDMETHODIMP GetHelpFile(BSTR* pBstrHelpFile) override;
  STDMETHODIMP GetHelpContext(DWORD* pdwHelpContext) override;

  // ICreateErrorInfo
  STDMETHODIMP SetGUID(REFGUID rguid) override;
  STDMETHODIMP SetSource(LPOLESTR szSource) override;
  STDMETHODIMP SetDescription(LPOLESTR szDescription) override;
  STDMETHODIMP SetHelpFile(LPOLESTR szHelpFile) override;
  STDMETHODIMP SetHelpContext(DWORD dwHelpContext) override;

  // IItemMaker
  STDMETHODIMP MakeLoadedItem(IStream* stream, ULONG offset, ULONG end, IUnknown** item) override;

  // --- Internal operations of the library; each takes the item's lock. ---

  // The item's recursive lock, for callers that combine several operations.
  CriticalSection::Guard Lock() { return lock_.lock(); }

  // Makes this item a copy of source (the source's lock is not taken). The
  // child stream is shared, not copied; delivery state is not copied.
  void CopyFrom(CTAVDiagnosticLogItem& source);
  // Used when an item is built: date null means "not set" (0.0), a BSTR
  // message is text cut to 3000 characters, anything else a resource id.
  void SetStandardFields(const DATE* date, const wchar_t* userName, long severity, long audience,
                         long verbosity, const VARIANT& message, SAFEARRAY* args);
  // Replaces the extended table by the declarations of a schema text.
  HRESULT ApplySchema(const std::wstring& schema);
  // Fills fields with what GetParam and GetDescription give of the item.
  void CopyExportFields(ItemExportFields* fields);
  // Every extended value becomes VT_EMPTY; names and declared types stay.
  void ClearExtendedValues();
  // Case-insensitive; the first entry whose name matches, or null.
  ExtendedParam* FindExtendedParam(const wchar_t* name);

  // Delivery state, guarded by the item's lock.
  HRESULT DeliveryResult();
  void SetDeliveryResult(HRESULT hr);
  HANDLE CompletionEvent();
  void SetCompletionEvent(HANDLE event);
  // Sets the completion event and forgets it: a second answer or cancel
  // finds none, so the waiting delivery knows how many signals it was sent.
  void SignalCompletion();
  // Forgets `event` if it is still the completion event, under the item's
  // lock; false when a signal already took it.
  bool ForgetCompletionEvent(HANDLE event);
  bool InFlight();
  // Once, when delivery hands the copy to the Mux link: the copy stops
  // holding the library loaded.
  void MarkInFlight();

  // The provider's resource DLL for the caller's language, or null.
  HMODULE GetResourceModule();

  // Field access for the library's own operations.
  std::wstring Location();
  std::wstring Provider();
  std::wstring UserName();
  void SetUserName(const std::wstring& userName);
  void SetLocation(const std::wstring& location);
  void SetProvider(const std::wstring& provider);
  DATE DateTime();
  void SetDateTime(DATE dateTime);
  // What PutParam("datetime", 0) does, without a BSTR and a variant: the
  // date is not set any more and the cached description goes.
  void ResetDateTime();
  long Severity();
  long Audience();
  long MessageId();
  std::wstring MessageText();
  // Copies of the insertion arguments (the caller clears them).
  std::vector<VARIANT> InsertionArgs();
  bool HasChild();

 private:
  ~CTAVDiagnosticLogItem() override;
  void ClearInsertionArgs();
  void ClearExtendedParams();
  HRESULT SerializeItem(IStream* stream, ULONG* size, bool save);
  HRESULT PutParamLocked(const wchar_t* name, UINT nameLength, VARIANT& value);
  HRESULT GetParamLocked(const wchar_t* name, UINT nameLength, VARIANT* result);
  // Formats the message into the description cache unless it holds it for
  // the thread's language already; the lock is held.
  HRESULT DescribeLocked();
  // An item bound for another machine carries its formatted message as text;
  // the lock stays taken from Begin to End so the sender's state is restored
  // before anyone else sees it.
  void BeginRemoteView(DWORD destContext);
  void EndRemoteView();

  CriticalSection lock_;
  std::vector<ExtendedParam> extendedParams_;
  std::wstring location_;
  std::wstring provider_;
  std::wstring userName_;
  DATE dateTime_ = 0.0;
  long severity_ = 0;
  long audience_ = 0;
  long verbosity_ = 0;
  std::wstring messageText_;
  long messageId_ = -1;
  VARIANT userDescription_;
  ComPtr<IStream> childData_;
  std::wstring helpFile_;
  DWORD helpContext_ = 0;
  GUID errorGuid_ = {};
  std::vector<VARIANT> insertionArgs_;
  std::wstring descriptionCache_;
  LANGID descriptionLangId_ = 0;
  bool inFlight_ = false;
  HRESULT deliveryResult_ = S_OK;
  HANDLE completionEvent_ = nullptr;
  bool ceBasedMessage_ = false;
  long savedMessageId_ = -1;
  // Marks objects made by this copy of the code: a test program links the
  // library's core and also loads the DLL, and the internal operations must
  // not run on the other copy's objects.
  const void* const moduleTag_;
};

// The current UTC time as a date of whole seconds, as SystemTimeToVariantTime
// makes it; false when the conversion fails.
bool CurrentUtcDate(DATE* date);

// Fills the user name of an item that is stored as a child and has none. The
// log subsystem installs its account lookup here at start-up; until then the
// name stays as it is.
using UserNameFiller = void (*)(CTAVDiagnosticLogItem& item);
extern UserNameFiller ItemUserNameFiller;

}  // namespace hv
