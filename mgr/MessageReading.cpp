// Reading, exporting and subscribing: the adaptor named by the caller's
// source-control document, reached through the Mux, does the reading; the
// manager only opens it and, for an export, writes what it returns.
#include <string>

#include "common/Unique.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "mgr/SourceControl.h"
#include "mgr/XmlExport.h"

namespace hv {
namespace {

// Adaptors tell an export's read from a viewer's by this letter in front of
// their own settings.
constexpr wchar_t kExportMark[] = L"P";

// Writes every log item of one enumerator; other elements are skipped.
HRESULT WriteEnumerated(ExportWriter& output, IEnumUnknown* items) {
  for (;;) {
    ComPtr<IUnknown> element;
    ULONG fetched = 0;
    items->Next(1, element.put(), &fetched);
    if (fetched == 0) return output.status();
    ComPtr<ITAVDiagnosticLogItemEx> item;
    if (element && SUCCEEDED(element->QueryInterface(IID_ITAVDiagnosticLogItemEx, item.put_void())))
      RETURN_IF_FAILED(WriteItemXml(output, item.get(), TRUE));
  }
}

// Reads this machine's logs in-process through the default adaptor's local
// reader, one item a call. A reader that cannot be created gives no items.
HRESULT WriteLocal(ExportWriter& output) {
  ComPtr<ILocalLogReader> reader;
  if (FAILED(CoCreateInstance(CLSID_HVStoreAdaptor, nullptr, CLSCTX_ALL, IID_ILocalLogReader,
                              reader.put_void())))
    return S_OK;
  // The two state values belong to the reader; they only travel back to it.
  long stateA = 0;
  long stateB = -1;
  for (;;) {
    ComPtr<IUnknown> element;
    const HRESULT hr = reader->ReadNext(&stateA, element.put(), 1, 0, &stateB);
    // The last call may still hand out an item.
    ComPtr<ITAVDiagnosticLogItemEx> item;
    if (element && SUCCEEDED(element->QueryInterface(IID_ITAVDiagnosticLogItemEx, item.put_void())))
      RETURN_IF_FAILED(WriteItemXml(output, item.get(), TRUE));
    if (hr == S_FALSE || FAILED(hr)) return S_OK;
  }
}

}  // namespace

STDMETHODIMP CTAVDiagnosticLogMgr::ReadMessages(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters,
                                                IEnumUnknown** ppUnkEnum) {
  ComPtr<IAdaptorReader> reader;
  unique_bstr specific;
  RETURN_IF_FAILED(OpenAdaptor(bstrXMLSourceControl, specific.put(), reader.put()));
  return reader->Read(dwLCID, specific.get(), bstrFilters, ppUnkEnum);
}

STDMETHODIMP CTAVDiagnosticLogMgr::ReadLocalMessages(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters,
                                                     IEnumUnknown** ppUnkEnum) {
  // The adaptor is opened first, so even local reading needs the Mux.
  ComPtr<IAdaptorReader> reader;
  unique_bstr specific;
  RETURN_IF_FAILED(OpenAdaptor(bstrXMLSourceControl, specific.put(), reader.put()));
  // Local logs without a filter are the caller's to read itself.
  if (IsEmptyText(bstrFilters) && IsLocalSource(bstrXMLSourceControl)) return S_FALSE;
  return reader->Read(dwLCID, specific.get(), bstrFilters, ppUnkEnum);
}

STDMETHODIMP CTAVDiagnosticLogMgr::CreateMessageSubscription(ULONG dwLCID, BSTR bstrXMLSourceControl,
                                                             BSTR bstrFilters, LONG nBufferTime, LONG nMaxSize,
                                                             IConnectionPointContainer** pSubscription) {
  ComPtr<IAdaptorReader> reader;
  unique_bstr specific;
  RETURN_IF_FAILED(OpenAdaptor(bstrXMLSourceControl, specific.put(), reader.put()));
  return reader->Subscribe(dwLCID, specific.get(), bstrFilters, nBufferTime, nMaxSize, pSubscription);
}

HRESULT CTAVDiagnosticLogMgr::ReadForExport(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters,
                                            IEnumUnknown** ppEnum) {
  *ppEnum = nullptr;
  ComPtr<IAdaptorReader> reader;
  unique_bstr specific;
  RETURN_IF_FAILED(OpenAdaptor(bstrXMLSourceControl, specific.put(), reader.put()));
  if (IsEmptyText(bstrFilters) && IsLocalSource(bstrXMLSourceControl)) return S_OK;
  std::wstring text = kExportMark;
  if (specific) text.append(specific.get(), SysStringLen(specific.get()));
  unique_bstr exportText(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
  RETURN_IF_NULL_ALLOC(exportText.get());
  return reader->Read(dwLCID, exportText.get(), bstrFilters, ppEnum);
}

STDMETHODIMP CTAVDiagnosticLogMgr::PersistMessages(ULONG dwLCID, BSTR bstrXMLSourceControl, BSTR bstrFilters,
                                                   TAVDiagnosticFileFormat FileFormat, BSTR bstrFile) {
  RETURN_HR_IF(E_INVALIDARG, FileFormat != TAVDiagnosticFileFormat_XML);
  ComPtr<IEnumUnknown> items;
  const HRESULT read = ReadForExport(dwLCID, bstrXMLSourceControl, bstrFilters, items.put());
  RETURN_IF_FAILED(read);

  ExportWriter output;
  RETURN_IF_FAILED(output.Create(bstrFile));
  // Failures while the items are read end the list early but are not the
  // export's result; a failed write is, and stops the export.
  WriteExportHeader(output);
  if (items)
    WriteEnumerated(output, items.get());
  else
    WriteLocal(output);
  WriteExportFooter(output);
  RETURN_IF_FAILED(output.Close());
  return read;
}

}  // namespace hv
