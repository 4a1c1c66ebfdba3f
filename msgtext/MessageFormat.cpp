// Message templates use the platform message formatter's syntax: "%k" (k from
// 1 to 99) is an insertion place, optionally followed by a printf format
// between exclamation marks ("%2!d!"); "%" before any other character is an
// escape ("%%", "%n", "%0", ...). FormatMessageW does the formatting, but it
// trusts its arguments blindly: a place without argument reads past the
// array, an integer under a text place is read as a string pointer, "%n"
// writes through its argument and a second conversion inside one format reads
// a word nobody passed. So the template is scanned first, exactly as the
// formatter will read it, and anything it could not survive is settled here.
#include "msgtext/MessageFormat.h"

#include <cstddef>
#include <cwchar>
#include <memory>
#include <new>
#include <utility>

#include "common/ErrorInfo.h"
#include "common/Unique.h"
#include "item/CTAVDiagnosticLogItem.h"

namespace hv {
namespace {

constexpr int kResourceBufferChars = 3000;
constexpr DWORD kFormatFlags =
    FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER;
constexpr wchar_t kConversionLetters[] = L"cCdiouxXeEfgGnpsS";
constexpr wchar_t kNull[] = L"(null)";
// Widths and precisions beyond four digits would only make the formatter
// allocate huge buffers, and longer formats overrun its format buffer; no
// message needs either.
constexpr size_t kMaxFieldDigits = 4;
constexpr std::ptrdiff_t kMaxFormatChars = 20;

// One insertion place as the formatter reads it.
struct Place {
  size_t start = 0;  // the "%"
  size_t end = 0;    // one past the number, or past the closing "!" of a format
  int number = 0;
  bool hasFormat = false;     // "!...!" follows the number
  bool openFormat = false;    // a "!" follows the number but is never closed
  size_t formatBegin = 0;     // the text between the two "!"
  size_t formatEnd = 0;
  bool printed = true;        // false after a "%0", where the formatter stops
};

// The places of a template, found the way the formatter walks it: "%" and the
// character after it are always taken together, so "%%1" holds no place.
std::vector<Place> FindPlaces(const std::wstring& text) {
  std::vector<Place> places;
  bool printed = true;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != L'%') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) break;  // a lone "%" at the end
    const wchar_t next = text[i + 1];
    if (next < L'1' || next > L'9') {
      if (next == L'0') printed = false;
      i += 2;
      continue;
    }
    Place place;
    place.start = i;
    place.printed = printed;
    place.number = next - L'0';
    size_t j = i + 2;
    if (j < text.size() && text[j] >= L'0' && text[j] <= L'9') place.number = place.number * 10 + (text[j++] - L'0');
    if (j < text.size() && text[j] == L'!') {
      const size_t close = text.find(L'!', j + 1);
      if (close == std::wstring::npos) {
        place.openFormat = true;
      } else {
        place.hasFormat = true;
        place.formatBegin = j + 1;
        place.formatEnd = close;
        j = close + 1;
      }
    }
    place.end = j;
    places.push_back(place);
    i = j;
  }
  return places;
}

// Places numbered beyond the arguments become "(null)", their format with
// them: the formatter would read them from beyond the array.
std::wstring ReplaceMissing(const std::wstring& text, size_t argumentCount) {
  std::wstring out;
  size_t copied = 0;
  for (const Place& place : FindPlaces(text)) {
    if (static_cast<size_t>(place.number) <= argumentCount) continue;
    out.append(text, copied, place.start - copied);
    out += kNull;
    copied = place.end;
  }
  out.append(text, copied, std::wstring::npos);
  return out;
}

// The type letter of insertion k: the first "%k" in the text (a search for
// "%1" also stops at "%12"); with a "!" right after it, the first conversion
// letter from there on, otherwise text.
wchar_t TypeLetter(const std::wstring& text, int k) {
  const std::wstring mark = L"%" + std::to_wstring(k);
  const size_t at = text.find(mark);
  if (at == std::wstring::npos) return L's';
  const size_t after = at + mark.size();
  if (after >= text.size() || text[after] != L'!') return L's';
  const size_t letter = text.find_first_of(kConversionLetters, at);
  return letter == std::wstring::npos ? L's' : text[letter];
}

bool IsTextLetter(wchar_t letter) { return letter == L's' || letter == L'S'; }

bool IsFloatLetter(wchar_t letter) { return wcschr(L"eEfgG", letter) != nullptr; }

bool Digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// How a format between "!" marks uses its argument.
enum class FormatUse { Text, Value, Unusable };

// Accepts exactly one printf conversion: flags, width, precision, a length
// modifier the formatter knows and one of the conversion letters. Anything
// else is unusable: "*" takes the width from the argument list (shifting every
// later argument), "n" writes through its argument, other letters or trailing
// text read arguments that were never passed.
FormatUse ClassifyFormat(const wchar_t* p, const wchar_t* end) {
  if (end - p > kMaxFormatChars) return FormatUse::Unusable;
  while (p < end && *p != L'\0' && wcschr(L"-+ #0", *p)) ++p;
  const wchar_t* digits = p;
  while (p < end && Digit(*p)) ++p;
  if (static_cast<size_t>(p - digits) > kMaxFieldDigits) return FormatUse::Unusable;
  if (p < end && *p == L'.') {
    digits = ++p;
    while (p < end && Digit(*p)) ++p;
    if (static_cast<size_t>(p - digits) > kMaxFieldDigits) return FormatUse::Unusable;
  }
  // 64-bit modifiers read a whole word only where a word has 64 bits.
  static const wchar_t* const kModifiers[] = {L"I64", L"I32", L"ll", L"h", L"l", L"w", L"I"};
  for (const wchar_t* modifier : kModifiers) {
    const size_t length = wcslen(modifier);
    if (static_cast<size_t>(end - p) > length && wcsncmp(p, modifier, length) == 0) {
      const bool wordSized = wcscmp(modifier, L"I64") == 0 || wcscmp(modifier, L"ll") == 0;
      if (wordSized && sizeof(void*) < 8) return FormatUse::Unusable;
      p += length;
      break;
    }
  }
  if (end - p != 1 || *p == L'\0' || *p == L'n' || !wcschr(kConversionLetters, *p)) return FormatUse::Unusable;
  return IsTextLetter(*p) ? FormatUse::Text : FormatUse::Value;
}

// What the formatter will find in each word of the argument array.
enum class Word { Integer, Text };

// True when every printed place can take its argument: a text place needs a
// pointer to text, and every format must be one the formatter reads safely.
bool ArgumentsFit(const std::wstring& text, const std::vector<Place>& places, const std::vector<Word>& words) {
  for (const Place& place : places) {
    if (!place.printed) continue;
    if (place.openFormat) return false;
    FormatUse use = FormatUse::Text;
    if (place.hasFormat) use = ClassifyFormat(text.data() + place.formatBegin, text.data() + place.formatEnd);
    if (use == FormatUse::Unusable || static_cast<size_t>(place.number) > words.size()) return false;
    if (use == FormatUse::Text && words[place.number - 1] != Word::Text) return false;
  }
  return true;
}

bool Printed(const std::vector<Place>& places, int k) {
  for (const Place& place : places)
    if (place.printed && place.number == k) return true;
  return false;
}

// Copies of an item's insertion arguments, cleared on the way out.
class ArgumentCopies {
 public:
  explicit ArgumentCopies(std::vector<VARIANT> values) : values_(std::move(values)) {}
  ~ArgumentCopies() {
    for (VARIANT& value : values_) VariantClear(&value);
  }
  ArgumentCopies(const ArgumentCopies&) = delete;
  ArgumentCopies& operator=(const ArgumentCopies&) = delete;
  const std::vector<VARIANT>& get() const { return values_; }

 private:
  std::vector<VARIANT> values_;
};

}  // namespace

std::wstring LoadResourceString(HMODULE module, UINT id) {
  if (!module) return std::wstring();
  std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[kResourceBufferChars]);
  if (!buffer) return std::wstring();
  const int length = LoadStringW(module, id, buffer.get(), kResourceBufferChars);
  return length > 0 ? std::wstring(buffer.get(), length) : std::wstring();
}

bool FormatInsertions(const std::wstring& messageTemplate, const std::vector<VARIANT>& arguments,
                      std::wstring* result) {
  const size_t count = arguments.size();
  // Without arguments the template is not run through the formatter at all,
  // so "%%" and "%n" stay as they are.
  if (count == 0) {
    *result = ReplaceMissing(messageTemplate, 0);
    return true;
  }
  const std::wstring text = ReplaceMissing(messageTemplate, count);

  std::unique_ptr<DWORD_PTR[]> array(new (std::nothrow) DWORD_PTR[count]);
  if (!array) return false;
  std::vector<Word> words(count, Word::Integer);
  std::vector<unique_bstr> texts(count);
  // The formatter reads the template up to its first NUL only.
  const std::wstring visible = text.substr(0, text.find(L'\0'));
  const std::vector<Place> places = FindPlaces(visible);

  for (size_t i = 0; i < count; ++i) {
    const int k = static_cast<int>(i) + 1;
    const VARIANT& argument = arguments[i];
    switch (argument.vt) {
      case VT_I2:
        array[i] = static_cast<DWORD_PTR>(static_cast<INT_PTR>(argument.iVal));
        continue;
      case VT_I1:
        array[i] = static_cast<DWORD_PTR>(static_cast<INT_PTR>(static_cast<signed char>(argument.cVal)));
        continue;
      case VT_BSTR:
        // A null BSTR is the empty text; the formatter must not meet a null.
        array[i] = reinterpret_cast<DWORD_PTR>(argument.bstrVal ? argument.bstrVal : L"");
        words[i] = Word::Text;
        continue;
      default:
        break;
    }
    // An empty argument counts as the number 0.
    VARIANT zero;
    VariantInit(&zero);
    zero.vt = VT_I4;
    zero.lVal = 0;
    const VARIANT* source = argument.vt == VT_EMPTY ? &zero : &argument;
    unique_variant converted;
    const bool asText = IsTextLetter(TypeLetter(visible, k));
    if (FAILED(VariantChangeType(converted.get(), const_cast<VARIANT*>(source), 0, asText ? VT_BSTR : VT_I4))) {
      if (Printed(places, k)) {
        *result = text;
        return true;
      }
      array[i] = 0;  // never printed
      continue;
    }
    if (asText) {
      texts[i].reset(converted->bstrVal);
      converted->vt = VT_EMPTY;
      array[i] = reinterpret_cast<DWORD_PTR>(texts[i].get() ? texts[i].get() : L"");
      words[i] = Word::Text;
    } else {
      array[i] = static_cast<DWORD_PTR>(static_cast<INT_PTR>(converted->lVal));
    }
  }

  if (!ArgumentsFit(visible, places, words)) {
    *result = text;
    return true;
  }

  wchar_t* formatted = nullptr;
  const DWORD length = FormatMessageW(kFormatFlags, visible.c_str(), 0, 0, reinterpret_cast<LPWSTR>(&formatted), 0,
                                      reinterpret_cast<va_list*>(array.get()));
  if (length > 0 && formatted)
    result->assign(formatted, length);
  else
    result->clear();
  if (formatted) LocalFree(formatted);
  return true;
}

HRESULT CheckMessage(CTAVDiagnosticLogItem& item) {
  std::wstring text;
  const long id = item.MessageId();
  if (id != -1) {
    HMODULE module = item.GetResourceModule();
    if (!module) {
      ReportError(L"Failed to load the resource DLL");
      return E_FAIL;
    }
    text = LoadResourceString(module, static_cast<UINT>(id));
    if (text.empty()) {
      ReportError(L"Failed to load the resource ID from the resource DLL");
      return E_FAIL;
    }
  } else {
    text = item.MessageText();
    if (text.empty()) {
      ReportError(L"The message text is an empty string");
      return E_FAIL;
    }
  }

  const ArgumentCopies arguments(item.InsertionArgs());
  const std::vector<VARIANT>& values = arguments.get();
  // The walk stops at the first number that does not occur: arguments beyond
  // it are allowed, and a template that skips a number is tested up to the gap.
  for (int k = 1; text.find(L"%" + std::to_wstring(k)) != std::wstring::npos; ++k) {
    const wchar_t letter = TypeLetter(text, k);
    // Floating point cannot travel in the formatter's argument words.
    if (IsFloatLetter(letter)) return E_FAIL;
    VARTYPE expected = VT_I4;
    if (IsTextLetter(letter))
      expected = VT_BSTR;
    else if (letter == L'c' || letter == L'C')
      expected = VT_I2;
    if (static_cast<size_t>(k) > values.size()) {
      ReportError(L"The message required more insertion arguments");
      return E_FAIL;
    }
    const VARTYPE actual = values[k - 1].vt;
    const bool strict = actual == VT_EMPTY || actual == VT_I2 || actual == VT_BSTR || actual == VT_I1;
    if (strict ? actual != expected : expected != VT_I4) {
      ReportError(L"An insertion argument was an incorrect type");
      return E_FAIL;
    }
  }
  return S_OK;
}

}  // namespace hv
