#include "mgr/XmlExport.h"

#include <algorithm>
#include <cstring>

#include "common/ComPtr.h"
#include "common/Result.h"
#include "common/Unique.h"

namespace hv {
namespace {

// Texts are taken up to their first NUL: the file never holds one.
std::wstring TextOf(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

// A value in the form the platform's variant conversion gives in the user's
// default locale; empty when it does not convert.
std::wstring ValueText(const VARIANT* value) {
  if (value->vt == VT_BSTR) return TextOf(value->bstrVal);
  unique_variant text;
  if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(value), 0, VT_BSTR)) || text->vt != VT_BSTR) return std::wstring();
  return TextOf(text->bstrVal);
}

std::wstring FieldText(ITAVDiagnosticLogItemEx* item, const wchar_t* name) {
  unique_bstr fieldName(SysAllocString(name));
  unique_variant value;
  if (!fieldName || FAILED(item->GetParam(fieldName.get(), value.get()))) return std::wstring();
  return ValueText(value.get());
}

// The formatted message, as the item describes itself as an error object.
std::wstring MessageText(ITAVDiagnosticLogItemEx* item) {
  ComPtr<IErrorInfo> error;
  if (FAILED(item->QueryInterface(IID_IErrorInfo, error.put_void()))) return std::wstring();
  unique_bstr description;
  if (FAILED(error->GetDescription(description.put()))) return std::wstring();
  return TextOf(description.get());
}

void Attribute(std::wstring& line, const wchar_t* name, const std::wstring& value) {
  line += name;
  line += L" = \"";
  line += value;
  line += L"\"";
}

HRESULT WriteItemLines(ExportWriter& output, ITAVDiagnosticLogItemEx* item) {
  std::wstring line = L"\t<Item ";
  Attribute(line, L"datetime", FieldText(item, L"datetime"));
  Attribute(line, L" location", EscapeXml(FieldText(item, L"location")));
  Attribute(line, L" provider", EscapeXml(FieldText(item, L"provider")));
  Attribute(line, L" audience", FieldText(item, L"audience"));
  Attribute(line, L" severity", FieldText(item, L"kind"));
  Attribute(line, L" message", EscapeXml(MessageText(item)));
  Attribute(line, L" username", EscapeXml(FieldText(item, L"username")));
  Attribute(line, L" verbosity", FieldText(item, L"verbosity"));
  Attribute(line, L" userdescription", EscapeXml(FieldText(item, L"userdescription")));
  line += L">\n";
  RETURN_IF_FAILED(output.Write(line));

  ULONG count = 0;
  if (FAILED(item->ExtendedParameterCount(&count))) count = 0;
  for (ULONG index = 0; index < count; ++index) {
    unique_bstr name;
    unique_variant value;
    if (FAILED(item->ParameterNameAndValue(index, name.put(), value.get()))) continue;
    line = L"\t\t<ExtendedParam ";
    Attribute(line, L"Name", EscapeXml(TextOf(name.get())));
    Attribute(line, L" Value", EscapeXml(ValueText(value.get())));
    line += L" />\n";
    RETURN_IF_FAILED(output.Write(line));
  }
  return S_OK;
}

ComPtr<ITAVDiagnosticLogItemEx> ChildOf(ITAVDiagnosticLogItemEx* item) {
  ComPtr<IUnknown> child;
  ComPtr<ITAVDiagnosticLogItemEx> childItem;
  if (SUCCEEDED(item->GetChild(child.put())) && child)
    child->QueryInterface(IID_ITAVDiagnosticLogItemEx, childItem.put_void());
  return childItem;
}

constexpr wchar_t kItemEnd[] = L"\t</Item>\n";

}  // namespace

HRESULT ExportWriter::Create(const wchar_t* path) {
  if (!path) return E_FAIL;
  file_ = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file_ == INVALID_HANDLE_VALUE ? E_FAIL : S_OK;
}

ExportWriter::~ExportWriter() { Close(); }

HRESULT ExportWriter::FlushBuffer() {
  size_t done = 0;
  while (SUCCEEDED(status_) && done < used_) {
    DWORD written = 0;
    if (!WriteFile(file_, buffer_ + done, static_cast<DWORD>(used_ - done), &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      status_ = error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    done += written;
  }
  used_ = 0;
  return status_;
}

HRESULT ExportWriter::WriteBytes(const void* data, size_t size) {
  RETURN_HR_IF(E_UNEXPECTED, file_ == INVALID_HANDLE_VALUE);
  const BYTE* bytes = static_cast<const BYTE*>(data);
  while (SUCCEEDED(status_) && size > 0) {
    if (used_ == sizeof(buffer_)) FlushBuffer();
    const size_t part = std::min(size, sizeof(buffer_) - used_);
    std::memcpy(buffer_ + used_, bytes, part);
    used_ += part;
    bytes += part;
    size -= part;
  }
  return status_;
}

HRESULT ExportWriter::Write(const std::wstring& text) {
  // wchar_t is the UTF-16 code unit here, stored little-endian.
  return WriteBytes(text.data(), text.size() * sizeof(wchar_t));
}

HRESULT ExportWriter::Close() {
  if (file_ == INVALID_HANDLE_VALUE) return status_;
  FlushBuffer();
  if (!CloseHandle(file_) && SUCCEEDED(status_)) status_ = HRESULT_FROM_WIN32(GetLastError());
  file_ = INVALID_HANDLE_VALUE;
  return status_;
}

std::wstring EscapeXml(const std::wstring& text) {
  if (text.find_first_of(L"&\"<>") == std::wstring::npos) return text;
  std::wstring escaped;
  escaped.reserve(text.size() + 16);
  for (wchar_t c : text) {
    switch (c) {
      case L'"': escaped += L"&quot;"; break;
      case L'&': escaped += L"&amp;"; break;
      case L'<': escaped += L"&lt;"; break;
      case L'>': escaped += L"&gt;"; break;
      default: escaped += c; break;
    }
  }
  return escaped;
}

HRESULT WriteItemXml(ExportWriter& output, ITAVDiagnosticLogItemEx* item, BOOL closeAfterChild) {
  RETURN_IF_FAILED(WriteItemLines(output, item));
  if (!closeAfterChild) RETURN_IF_FAILED(output.Write(kItemEnd));
  // Each descendant stands closed after the one before it, so walking the
  // chain gives the same lines as descending into it, without a stack as
  // deep as the chain is long.
  for (ComPtr<ITAVDiagnosticLogItemEx> child = ChildOf(item); child; child = ChildOf(child.get())) {
    RETURN_IF_FAILED(WriteItemLines(output, child.get()));
    RETURN_IF_FAILED(output.Write(kItemEnd));
  }
  if (closeAfterChild) RETURN_IF_FAILED(output.Write(kItemEnd));
  return S_OK;
}

HRESULT WriteExportHeader(ExportWriter& output) {
  static const BYTE kByteOrderMark[] = {0xFF, 0xFE};
  RETURN_IF_FAILED(output.WriteBytes(kByteOrderMark, sizeof(kByteOrderMark)));
  RETURN_IF_FAILED(output.Write(L"<?xml version=\"1.0\" encoding=\"utf-16\" ?>\n"));
  return output.Write(L"<TAVDiagnosticItems>\n");
}

HRESULT WriteExportFooter(ExportWriter& output) { return output.Write(L"</TAVDiagnosticItems>\n"); }

}  // namespace hv
