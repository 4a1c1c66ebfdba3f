// Message templates filled from insertion arguments, and the message check
// made when items are built in trouble-shoot mode.
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "item/CTAVDiagnosticLogItem.h"
#include "msgtext/MessageFormat.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

// An argument list that clears its VARIANTs.
class Args {
 public:
  Args() = default;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args() {
    for (VARIANT& v : values) VariantClear(&v);
  }

  Args& Text(const wchar_t* text) {
    VARIANT& v = Add(VT_BSTR);
    v.bstrVal = text ? SysAllocString(text) : nullptr;
    return *this;
  }
  Args& I4(LONG value) {
    Add(VT_I4).lVal = value;
    return *this;
  }
  Args& I2(SHORT value) {
    Add(VT_I2).iVal = value;
    return *this;
  }
  Args& I1(signed char value) {
    Add(VT_I1).cVal = static_cast<CHAR>(value);
    return *this;
  }
  Args& R8(double value) {
    Add(VT_R8).dblVal = value;
    return *this;
  }
  Args& Of(VARTYPE type) {
    Add(type);
    return *this;
  }

  std::vector<VARIANT> values;

 private:
  VARIANT& Add(VARTYPE type) {
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    values.push_back(v);
    return values.back();
  }
};

std::wstring Format(const std::wstring& messageTemplate, const Args& args) {
  std::wstring result = L"<not set>";
  EXPECT_TRUE(FormatInsertions(messageTemplate, args.values, &result)) << test::Narrow(messageTemplate);
  return result;
}

std::wstring Format(const std::wstring& messageTemplate) { return Format(messageTemplate, Args()); }

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(FormatInsertions, FillsPlacesFromTheArguments) {
  EXPECT_EQ(L"Disk C: is 95% full", Format(L"Disk %1 is %2!d!%% full", Args().Text(L"C:").I4(95)));
  // An integer of any other type under a text place is converted to text.
  EXPECT_EQ(L"12 items", Format(L"%1 items", Args().I4(12)));
  EXPECT_EQ(L"2.5 items", Format(L"%1 items", Args().R8(2.5)));
  // ...and to a 32-bit integer under an integer format (rounding to even).
  EXPECT_EQ(L"2|4", Format(L"%1!d!|%2!d!", Args().R8(2.5).R8(3.5)));
  // An empty argument is the number 0, under either kind of place.
  EXPECT_EQ(L"0 and 0", Format(L"%1 and %2!d!", Args().Of(VT_EMPTY).Of(VT_EMPTY)));
  // A null BSTR is the empty text.
  EXPECT_EQ(L"[]", Format(L"[%1]", Args().Text(nullptr)));
  // Places may repeat and come in any order; printf formats apply.
  EXPECT_EQ(L"b a b", Format(L"%2 %1 %2", Args().Text(L"a").Text(L"b")));
  EXPECT_EQ(L"  005|00FF|ab    |", Format(L"%1!5.3d!|%2!04X!|%3!-6s!|", Args().I4(5).I4(255).Text(L"ab")));
  EXPECT_EQ(L"A", Format(L"%1!c!", Args().I2(65)));
  // Escapes are processed once there are arguments.
  EXPECT_EQ(L"a\r\nb\tc x", Format(L"a%nb%tc %1", Args().Text(L"x")));
  // Inserted text is not read as a template.
  EXPECT_EQ(L"50%% %1", Format(L"%1", Args().Text(L"50%% %1")));
  // A floating-point format gets the machine word of a 32-bit integer:
  // Windows prints its bits as a (tiny) number; Wine's formatter prints
  // only the conversion letter (known Wine deviation).
  const std::wstring floating = Format(L"[%1!f!]", Args().I4(1));
  if (RunningOnWine()) {
    EXPECT_EQ(L"[f]", floating);
  } else {
    EXPECT_EQ(L"[0.000000]", floating);
  }
}

TEST(FormatInsertions, PlacesWithoutArgumentBecomeNull) {
  EXPECT_EQ(L"3 of (null)", Format(L"%1!d! of %2!d!", Args().I4(3)));
  EXPECT_EQ(L"(null) (null) (null)!", Format(L"%1 %2!d! %99!-10s!!"));
  // Without arguments nothing else is processed: escapes stay as written.
  EXPECT_EQ(L"100%%", Format(L"100%%"));
  EXPECT_EQ(L"100%", Format(L"100%%", Args().Text(L"unused")));
  EXPECT_EQ(L"a%nb %% (null)", Format(L"a%nb %% %1!x!"));
  // "%%1" is an escape followed by a digit, never a place.
  EXPECT_EQ(L"%%1 (null)", Format(L"%%1 %2"));
  EXPECT_EQ(L"%1 v", Format(L"%%1 %1", Args().Text(L"v")));
  // A place number has at most two digits: "%100" is place 10 and a 0.
  EXPECT_EQ(L"(null)0", Format(L"%100"));
  EXPECT_EQ(L"x (null)", Format(L"%1 %12", Args().Text(L"x")));
}

TEST(FormatInsertions, ArgumentsKeepTheirMachineWordForm) {
  // Small integers are sign-extended to the whole word...
  const std::wstring allOnes = sizeof(void*) == 8 ? L"ffffffffffffffff" : L"ffffffff";
  EXPECT_EQ(allOnes, Format(L"%1!Ix!", Args().I2(-1)));
  EXPECT_EQ(allOnes, Format(L"%1!Ix!", Args().I1(-1)));
  EXPECT_EQ(L"-5|-128", Format(L"%1!d!|%2!d!", Args().I2(-5).I1(-128)));
  // ...and a BSTR is its pointer, whatever the format says.
  Args text;
  text.Text(L"abc");
  const INT_PTR pointer = reinterpret_cast<INT_PTR>(text.values[0].bstrVal);
  EXPECT_EQ(std::to_wstring(static_cast<int>(pointer)), Format(L"%1!d!", text));
}

TEST(FormatInsertions, UnfitArgumentLeavesTheTemplate) {
  // A 16-bit integer under a text place would be read as a string pointer.
  EXPECT_EQ(L"Valve %1 is (null)", Format(L"Valve %1 is %2", Args().I2(7)));
  EXPECT_EQ(L"[%1!s!]", Format(L"[%1!s!]", Args().I1(7)));
  // The type letter comes from the first "%1" text, here inside an escape,
  // so the argument becomes an integer; the formatter's place wants text.
  EXPECT_EQ(L"%%1!d! %1", Format(L"%%1!d! %1", Args().I4(5)));
  // Formats the formatter cannot be trusted with: "n" writes through its
  // argument, "*" takes the width from the list, a second conversion or an
  // unknown letter reads words nobody passed, an unclosed format swallows
  // the rest of the template, huge widths exhaust memory, long formats
  // overrun the formatter's own buffer.
  for (const wchar_t* unusable : {L"%1!n!", L"%1!*d! x", L"%1!d%s!", L"%1!Z!", L"%1!d", L"%1!12345d!", L"%1!.99999s!",
                                  L"%1!----------------------s!", L"%1!!"})
    EXPECT_EQ(unusable, Format(unusable, Args().Text(L"t"))) << test::Narrow(unusable);
  // Everything after "%0" is never printed, so a place there cannot be unfit.
  EXPECT_EQ(L"abc", Format(L"abc%0def %1", Args().I2(5)));
}

TEST(FormatInsertions, ConversionFailures) {
  // A value with no text form (VT_NULL) under a printed place gives the
  // template with the missing places replaced...
  EXPECT_EQ(L"Got %1 and (null)", Format(L"Got %1 and %2", Args().Of(VT_NULL)));
  // ...but where its place does not occur, the argument is never printed.
  EXPECT_EQ(L"only b", Format(L"only %2", Args().Of(VT_NULL).Text(L"b")));
  // The formatter rejects a lone "%" at the end: the result is empty.
  EXPECT_EQ(L"", Format(L"Load %1 at 50%", Args().Text(L"x")));
  EXPECT_EQ(L"", Format(L"", Args().Text(L"x")));
}

TEST(FormatInsertions, HostileTemplatesNeverCrashOrHang) {
  std::mt19937 random(77);
  const std::wstring alphabet = L"%%%%%!!!1234567890.*-+# lhIwsSdcCxXnpfeZ%0abc";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int rounds = 0;
  for (; rounds < 30000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    std::wstring messageTemplate;
    for (size_t length = random() % 40; length > 0; --length)
      messageTemplate += alphabet[random() % alphabet.size()];
    Args args;
    for (size_t count = random() % 6; count > 0; --count) {
      switch (random() % 9) {
        case 0: args.Text(L"text %1 %%"); break;
        case 1: args.Text(nullptr); break;
        case 2: args.I4(static_cast<LONG>(random())); break;
        case 3: args.I2(static_cast<SHORT>(random())); break;
        case 4: args.I1(static_cast<signed char>(random())); break;
        case 5: args.R8(random() / 7.0); break;
        case 6: args.Of(VT_EMPTY); break;
        case 7: args.Of(VT_NULL); break;
        default: args.Of(VT_DISPATCH); break;  // a null object
      }
    }
    std::wstring first, second;
    ASSERT_TRUE(FormatInsertions(messageTemplate, args.values, &first)) << test::Narrow(messageTemplate);
    ASSERT_TRUE(FormatInsertions(messageTemplate, args.values, &second));
    // Reading beyond the arguments or through a stray pointer shows as
    // results that change from one call to the next.
    ASSERT_EQ(first, second) << test::Narrow(messageTemplate);
    if (messageTemplate.find(L'%') == std::wstring::npos) {
      ASSERT_EQ(messageTemplate, first);
    }
  }
  EXPECT_GT(rounds, 1000);
}

// --- CheckMessage -----------------------------------------------------------

class CheckMessageTest : public test::ComTest {
 protected:
  // A text message item with these arguments.
  ComPtr<CTAVDiagnosticLogItem> TextItem(const wchar_t* text, const Args& args) {
    ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
    unique_variant message;
    message->vt = VT_BSTR;
    message->bstrVal = SysAllocString(text);
    unique_safearray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(args.values.size())));
    for (LONG i = 0; i < static_cast<LONG>(args.values.size()); ++i)
      SafeArrayPutElement(array.get(), &i, const_cast<VARIANT*>(&args.values[i]));
    item->SetStandardFields(nullptr, L"", 4, 1, 0, *message.get(), array.get());
    return item;
  }

  // The result of the check and the error description it left ("" for none).
  std::pair<HRESULT, std::wstring> Check(const wchar_t* text, const Args& args) {
    ComPtr<CTAVDiagnosticLogItem> item = TextItem(text, args);
    SetErrorInfo(0, nullptr);
    const HRESULT hr = CheckMessage(*item);
    return {hr, test::TakeErrorDescription()};
  }
};

const std::wstring kIncorrectType = L"An insertion argument was an incorrect type";
const std::wstring kMoreArguments = L"The message required more insertion arguments";

TEST_F(CheckMessageTest, ArgumentTypesMustFitTheirFormats) {
  using Result = std::pair<HRESULT, std::wstring>;
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%1!d!", Args().Text(L"x")));
  EXPECT_EQ(Result(S_OK, L""), Check(L"%1!d!", Args().I4(1)));
  // Any type outside the four strict ones fits an integer format.
  EXPECT_EQ(Result(S_OK, L""), Check(L"%1!d!", Args().R8(1.5)));
  EXPECT_EQ(Result(S_OK, L""), Check(L"%1!x!", Args().Of(VT_BOOL)));
  // The strict types must be exactly what the letter asks for.
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%1!d!", Args().I2(1)));
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%1!d!", Args().Of(VT_EMPTY)));
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%1!d!", Args().I1(1)));
  EXPECT_EQ(Result(S_OK, L""), Check(L"%1!c!", Args().I2(65)));
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%1!C!", Args().I4(65)));
  EXPECT_EQ(Result(S_OK, L""), Check(L"%1 and %2!s!", Args().Text(L"a").Text(L"b")));
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%1", Args().I4(1)));
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%1", Args().Of(VT_EMPTY)));
  // The second place is checked too.
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%1 %2!u!", Args().Text(L"a").Text(L"b")));
  // The letter of place 1 is taken at the first "%1", which here is "%12".
  EXPECT_EQ(Result(E_FAIL, kIncorrectType), Check(L"%12 %1!d!", Args().I4(1)));
  // Floating point ends the check without error information.
  EXPECT_EQ(Result(E_FAIL, L""), Check(L"%1!f!", Args().R8(1.5)));
  EXPECT_EQ(Result(E_FAIL, L""), Check(L"%1 %2!5.2e!", Args().Text(L"a")));
}

TEST_F(CheckMessageTest, WalksTheNumbersUpToTheFirstGap) {
  using Result = std::pair<HRESULT, std::wstring>;
  EXPECT_EQ(Result(E_FAIL, kMoreArguments), Check(L"%1 %2", Args().Text(L"a")));
  EXPECT_EQ(Result(E_FAIL, kMoreArguments), Check(L"Pump %1", Args()));
  // "%2" is missing, so "%3" is never looked at.
  EXPECT_EQ(Result(S_OK, L""), Check(L"%1 and %3", Args().Text(L"a")));
  // Extra arguments are allowed.
  EXPECT_EQ(Result(S_OK, L""), Check(L"%1", Args().Text(L"a").I4(2).Of(VT_NULL)));
  EXPECT_EQ(Result(S_OK, L""), Check(L"Started", Args()));
  EXPECT_EQ(Result(E_FAIL, L"The message text is an empty string"), Check(L"", Args()));
}

}  // namespace
}  // namespace hv
