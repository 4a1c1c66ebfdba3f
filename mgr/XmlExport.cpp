#include "mgr/XmlExport.h"

#include <algorithm>
#include <cstring>

#include "common/ComPtr.h"
#include "common/Result.h"
#include "common/Unique.h"
#include "item/CTAVDiagnosticLogItem.h"

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

// The item line of an item of another implementation, through its interface.
HRESULT WriteItemLine(ExportWriter& output, ITAVDiagnosticLogItemEx* item) {
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
  return output.Write(line);
}

// The text of the last value converted: the items of one second share their
// time, and most share severity, audience and verbosity, so a run of equal
// values is converted once.
template <class T>
class LastText {
 public:
  const std::wstring& Of(T value) {
    if (!valid_ || std::memcmp(&value, &value_, sizeof(T)) != 0) {
      VARIANT variant;
      Set(&variant, value);
      text_ = ValueText(&variant);
      value_ = value;
      valid_ = true;
    }
    return text_;
  }

 private:
  static void Set(VARIANT* variant, DATE value) {
    variant->vt = VT_DATE;
    variant->date = value;
  }
  static void Set(VARIANT* variant, long value) {
    variant->vt = VT_I4;
    variant->lVal = value;
  }

  bool valid_ = false;
  T value_{};
  std::wstring text_;
};

}  // namespace

struct ExportWriter::ItemScratch {
  ItemExportFields fields;
  LastText<DATE> dateTime;
  LastText<long> severity;
  LastText<long> audience;
  LastText<long> verbosity;
};

ExportWriter::ItemScratch& ExportWriter::scratch() {
  if (!scratch_) scratch_ = std::make_unique<ItemScratch>();
  return *scratch_;
}

namespace {

// The item line of the library's own item, the same text as through its
// interface, with its fields taken at once and written without a line of
// their own.
HRESULT WriteOwnItemLine(ExportWriter& output, CTAVDiagnosticLogItem& item) {
  ExportWriter::ItemScratch& scratch = output.scratch();
  ItemExportFields& fields = scratch.fields;
  item.CopyExportFields(&fields);
  output.WriteText(L"\t<Item datetime = \"");
  output.Write(scratch.dateTime.Of(fields.dateTime));
  output.WriteText(L"\" location = \"");
  output.WriteEscaped(fields.location);
  output.WriteText(L"\" provider = \"");
  output.WriteEscaped(fields.provider);
  output.WriteText(L"\" audience = \"");
  output.Write(scratch.audience.Of(fields.audience));
  output.WriteText(L"\" severity = \"");
  output.Write(scratch.severity.Of(fields.severity));
  output.WriteText(L"\" message = \"");
  output.WriteEscaped(fields.message);
  output.WriteText(L"\" username = \"");
  output.WriteEscaped(fields.userName);
  output.WriteText(L"\" verbosity = \"");
  output.Write(scratch.verbosity.Of(fields.verbosity));
  output.WriteText(L"\" userdescription = \"");
  output.WriteEscaped(fields.userDescription);
  return output.WriteText(L"\">\n");
}

HRESULT WriteItemLines(ExportWriter& output, ITAVDiagnosticLogItemEx* item) {
  // Only where the caller's pointer leads straight to the library's own item
  // can its fields be read directly; any other object answers through its
  // interface.
  ComPtr<CTAVDiagnosticLogItem> own = CTAVDiagnosticLogItem::FromInterface(item);
  if (own && static_cast<ITAVDiagnosticLogItemEx*>(own.get()) == item)
    RETURN_IF_FAILED(WriteOwnItemLine(output, *own));
  else
    RETURN_IF_FAILED(WriteItemLine(output, item));

  ULONG count = 0;
  if (FAILED(item->ExtendedParameterCount(&count))) count = 0;
  for (ULONG index = 0; index < count; ++index) {
    unique_bstr name;
    unique_variant value;
    if (FAILED(item->ParameterNameAndValue(index, name.put(), value.get()))) continue;
    std::wstring line = L"\t\t<ExtendedParam ";
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

ExportWriter::ExportWriter() = default;

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

HRESULT ExportWriter::Write(const std::wstring& text) { return Write(text.data(), text.size()); }

HRESULT ExportWriter::Write(const wchar_t* text, size_t length) {
  // wchar_t is the UTF-16 code unit here, stored little-endian.
  return WriteBytes(text, length * sizeof(wchar_t));
}

HRESULT ExportWriter::WriteEscaped(const std::wstring& text) {
  const wchar_t* const data = text.data();
  size_t plain = 0;  // the first character not yet written
  for (size_t at = 0; at < text.size(); ++at) {
    const wchar_t c = data[at];
    // Everything above '>' and most below it stands for itself.
    if (c > L'>' || (c != L'"' && c != L'&' && c != L'<' && c != L'>')) continue;
    Write(data + plain, at - plain);
    if (c == L'"')
      WriteText(L"&quot;");
    else if (c == L'&')
      WriteText(L"&amp;");
    else if (c == L'<')
      WriteText(L"&lt;");
    else
      WriteText(L"&gt;");
    plain = at + 1;
  }
  return Write(data + plain, text.size() - plain);
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
  if (!closeAfterChild) RETURN_IF_FAILED(output.WriteText(kItemEnd));
  // Each descendant stands closed after the one before it, so walking the
  // chain gives the same lines as descending into it, without a stack as
  // deep as the chain is long.
  for (ComPtr<ITAVDiagnosticLogItemEx> child = ChildOf(item); child; child = ChildOf(child.get())) {
    RETURN_IF_FAILED(WriteItemLines(output, child.get()));
    RETURN_IF_FAILED(output.WriteText(kItemEnd));
  }
  if (closeAfterChild) RETURN_IF_FAILED(output.WriteText(kItemEnd));
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
