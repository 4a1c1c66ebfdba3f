#include "tools/hvdiag/ItemView.h"

#include <oleauto.h>

#include <algorithm>
#include <cmath>

#include "common/ComPtr.h"
#include "common/Result.h"
#include "common/Unique.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

// Children nested deeper than this are not shown (a stream cannot hold more).
constexpr int kMaxChildren = 16;

std::wstring Param(ITAVDiagnosticLogItemEx* item, const wchar_t* name, VARIANT* raw = nullptr) {
  unique_bstr bstrName(SysAllocString(name));
  unique_variant value;
  if (FAILED(item->GetParam(bstrName.get(), value.put()))) return L"";
  if (raw) VariantCopy(raw, value.get());
  return VariantText(*value.get());
}

long ParamLong(ITAVDiagnosticLogItemEx* item, const wchar_t* name) {
  unique_variant value;
  Param(item, name, value.get());
  if (FAILED(VariantChangeType(value.get(), value.get(), 0, VT_I4))) return 0;
  return value->lVal;
}

HRESULT ReadOne(ITAVDiagnosticLogItemEx* item, ItemView* view) {
  unique_variant date;
  Param(item, L"datetime", date.get());
  if (SUCCEEDED(VariantChangeType(date.get(), date.get(), 0, VT_R8))) view->datetime = date->dblVal;
  view->severity = static_cast<unsigned long>(ParamLong(item, L"severity"));
  view->audience = static_cast<unsigned long>(ParamLong(item, L"audience"));
  view->verbosity = ParamLong(item, L"verbosity");
  view->location = Param(item, L"location");
  view->provider = Param(item, L"provider");
  view->user = Param(item, L"username");
  view->userDescription = Param(item, L"userdescription");
  unique_variant message;
  Param(item, L"msgtext", message.get());
  view->messageId = message->vt == VT_BSTR || message->vt == VT_EMPTY ? -1 : ParamLong(item, L"msgtext");

  // The description is formatted in the calling thread's language.
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(item->QueryInterface(IID_IErrorInfo, info.put_void()))) {
    unique_bstr description;
    if (SUCCEEDED(info->GetDescription(description.put())) && description) view->message = description.get();
  }

  unsigned long count = 0;
  RETURN_IF_FAILED(item->ExtendedParameterCount(&count));
  for (unsigned long i = 0; i < count; ++i) {
    unique_bstr name;
    unique_variant value;
    if (FAILED(item->ParameterNameAndValue(i, name.put(), value.put()))) continue;
    view->parameters.emplace_back(name ? name.get() : L"", VariantText(*value.get()));
  }
  return S_OK;
}

std::wstring MessageColumn(const ItemView& view) {
  std::wstring text = view.message;
  if (text.empty() && view.messageId != -1) text = L"(resource " + std::to_wstring(view.messageId) + L")";
  // One line per item in the table: line ends inside the text are shown as spaces.
  std::replace(text.begin(), text.end(), L'\n', L' ');
  std::replace(text.begin(), text.end(), L'\r', L' ');
  return text;
}

std::vector<std::wstring> Columns(const ItemView& view) {
  return {TimeText(view.datetime), MaskText(MaskKind::kSeverity, view.severity),
          MaskText(MaskKind::kAudience, view.audience), std::to_wstring(view.verbosity), view.location,
          view.provider, view.user, MessageColumn(view)};
}

// Extended parameters that were never set are left out of the columns (the
// JSON lines keep them): every item of a log declares the same ones.
std::wstring Details(const ItemView& view) {
  std::wstring text;
  for (const auto& parameter : view.parameters)
    if (!parameter.second.empty()) text += L"    " + parameter.first + L" = " + parameter.second + L"\n";
  for (const ItemView& child : view.children) {
    text += L"    child: " + MaskText(MaskKind::kSeverity, child.severity) + L" " + MessageColumn(child) + L"\n";
    for (const auto& parameter : child.parameters)
      if (!parameter.second.empty()) text += L"      " + parameter.first + L" = " + parameter.second + L"\n";
  }
  return text;
}

std::wstring JsonObject(const ItemView& view, bool withChildren) {
  std::wstring json = L"{\"time\":" + JsonString(TimeText(view.datetime));
  wchar_t number[40];
  swprintf(number, 40, L"%.17g", view.datetime);
  json += L",\"datetime\":" + std::wstring(std::isfinite(view.datetime) ? number : L"null");
  json += L",\"severity\":" + std::to_wstring(view.severity);
  json += L",\"severity_names\":" + JsonString(MaskText(MaskKind::kSeverity, view.severity));
  json += L",\"audience\":" + std::to_wstring(view.audience);
  json += L",\"audience_names\":" + JsonString(MaskText(MaskKind::kAudience, view.audience));
  json += L",\"verbosity\":" + std::to_wstring(view.verbosity);
  json += L",\"location\":" + JsonString(view.location);
  json += L",\"provider\":" + JsonString(view.provider);
  json += L",\"user\":" + JsonString(view.user);
  json += L",\"message_id\":" + (view.messageId == -1 ? std::wstring(L"null") : std::to_wstring(view.messageId));
  json += L",\"message\":" + JsonString(view.message);
  if (!view.userDescription.empty()) json += L",\"user_description\":" + JsonString(view.userDescription);
  json += L",\"parameters\":{";
  for (size_t i = 0; i < view.parameters.size(); ++i)
    json += (i ? L"," : L"") + JsonString(view.parameters[i].first) + L":" + JsonString(view.parameters[i].second);
  json += L"}";
  if (withChildren) {
    json += L",\"children\":[";
    for (size_t i = 0; i < view.children.size(); ++i) json += (i ? L"," : L"") + JsonObject(view.children[i], false);
    json += L"]";
  }
  return json + L"}";
}

}  // namespace

HRESULT ReadItemView(IUnknown* element, ItemView* view) {
  ComPtr<ITAVDiagnosticLogItemEx> item;
  RETURN_HR_IF_NULL(E_POINTER, element);
  RETURN_IF_FAILED(element->QueryInterface(IID_ITAVDiagnosticLogItemEx, item.put_void()));
  RETURN_IF_FAILED(ReadOne(item.get(), view));
  ComPtr<IUnknown> next;
  for (int depth = 0; depth < kMaxChildren && SUCCEEDED(item->GetChild(next.put())) && next; ++depth) {
    ComPtr<ITAVDiagnosticLogItemEx> child;
    if (FAILED(next->QueryInterface(IID_ITAVDiagnosticLogItemEx, child.put_void()))) break;
    ItemView childView;
    if (FAILED(ReadOne(child.get(), &childView))) break;
    view->children.push_back(std::move(childView));
    item = child;
  }
  return S_OK;
}

std::wstring ItemJson(const ItemView& view) { return JsonObject(view, true); }

std::wstring ItemTable::Text() const {
  static const wchar_t* const kHeader[] = {L"TIME", L"SEVERITY", L"AUDIENCE", L"VERB", L"LOCATION",
                                           L"PROVIDER", L"USER", L"MESSAGE"};
  std::vector<std::vector<std::wstring>> rows;
  rows.emplace_back(std::begin(kHeader), std::end(kHeader));
  for (const ItemView& view : items_) rows.push_back(Columns(view));
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  std::wstring text;
  for (size_t r = 0; r < rows.size(); ++r) {
    std::wstring line;
    for (size_t c = 0; c < rows[r].size(); ++c) {
      line += rows[r][c];
      if (c + 1 < rows[r].size()) line += std::wstring(widths[c] - rows[r][c].size() + 2, L' ');
    }
    text += line + L"\n";
    if (r > 0) text += Details(items_[r - 1]);
  }
  return text;
}

std::wstring ItemTable::Line(const ItemView& view) {
  const std::vector<std::wstring> columns = Columns(view);
  std::wstring line;
  for (size_t c = 0; c < columns.size(); ++c) line += (c ? L"  " : L"") + columns[c];
  return line + L"\n" + Details(view);
}

}  // namespace hv::diag
