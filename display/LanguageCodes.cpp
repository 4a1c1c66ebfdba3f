#include "display/LanguageCodes.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

namespace hv {
namespace {

struct LanguageCode {
  ULONG lcid;
  const wchar_t* code;
};

// The codes the definition files use in "xml:lang", by locale id. Every
// English locale is plain "en"; the Chinese codes are written with "_".
// Sorted by id for the binary search below.
constexpr LanguageCode kLanguageCodes[] = {
    {0x0009, L"en"}, {0x0401, L"ar-sa"}, {0x0402, L"bg"}, {0x0403, L"ca"}, {0x0404, L"zh_tw"},
    {0x0405, L"cs"}, {0x0406, L"da"}, {0x0407, L"de"}, {0x0408, L"el"}, {0x0409, L"en"},
    {0x040A, L"es"}, {0x040B, L"fi"}, {0x040C, L"fr"}, {0x040D, L"he"}, {0x040E, L"hu"},
    {0x040F, L"is"}, {0x0410, L"it"}, {0x0411, L"ja"}, {0x0412, L"ko"}, {0x0413, L"nl"},
    {0x0414, L"no"}, {0x0415, L"pl"}, {0x0416, L"pt-br"}, {0x0417, L"rm"}, {0x0418, L"ro"},
    {0x0419, L"ru"}, {0x041A, L"hr"}, {0x041B, L"sk"}, {0x041C, L"sq"}, {0x041D, L"sv"},
    {0x041E, L"th"}, {0x041F, L"tr"}, {0x0420, L"ur"}, {0x0421, L"in"}, {0x0422, L"uk"},
    {0x0423, L"be"}, {0x0424, L"sl"}, {0x0425, L"et"}, {0x0426, L"lv"}, {0x0427, L"lt"},
    {0x0429, L"fa"}, {0x042A, L"vi"}, {0x042D, L"eu"}, {0x042E, L"sb"}, {0x042F, L"mk"},
    {0x0430, L"sx"}, {0x0431, L"ts"}, {0x0432, L"tn"}, {0x0433, L"ve"}, {0x0434, L"xh"},
    {0x0435, L"zu"}, {0x0436, L"af"}, {0x0438, L"fo"}, {0x0439, L"hi"}, {0x043A, L"mt"},
    {0x043B, L"sz"}, {0x043C, L"gd"}, {0x043D, L"ji"}, {0x043E, L"ms"}, {0x0801, L"ar-iq"},
    {0x0804, L"zh_cn"}, {0x0807, L"de-ch"}, {0x0809, L"en"}, {0x080A, L"es-mx"}, {0x080C, L"fr-ba"},
    {0x0810, L"it-ch"}, {0x0812, L"ko"}, {0x0813, L"nl-be"}, {0x0814, L"no"}, {0x0816, L"pt"},
    {0x0818, L"ro-mo"}, {0x0819, L"ru-mo"}, {0x081A, L"sr"}, {0x081D, L"sv-fi"}, {0x083C, L"gd-ie"},
    {0x0C01, L"ar-eg"}, {0x0C04, L"zh_hk"}, {0x0C07, L"de-at"}, {0x0C09, L"en"}, {0x0C0A, L"es"},
    {0x0C0C, L"fr-ca"}, {0x0C11, L"sr"}, {0x1001, L"ar-ly"}, {0x1004, L"zh_sg"}, {0x1007, L"de-lu"},
    {0x1009, L"en"}, {0x100A, L"es-gt"}, {0x100C, L"fr-ch"}, {0x1401, L"ar-dz"}, {0x1407, L"de-li"},
    {0x1409, L"en"}, {0x140A, L"es-cr"}, {0x140C, L"fr-lu"}, {0x1801, L"ar-ma"}, {0x1809, L"en"},
    {0x180A, L"es-pa"}, {0x1C01, L"ar-tn"}, {0x1C09, L"en"}, {0x1C0A, L"es-do"}, {0x2001, L"ar-om"},
    {0x2009, L"en"}, {0x200A, L"es-ve"}, {0x2401, L"ar-ye"}, {0x2409, L"en"}, {0x240A, L"es-co"},
    {0x2801, L"ar-sy"}, {0x2809, L"en"}, {0x280A, L"es-pe"}, {0x2C01, L"ar-jo"}, {0x2C09, L"en"},
    {0x2C0A, L"es-ar"}, {0x3001, L"ar-lb"}, {0x300A, L"es-ec"}, {0x3401, L"ar-kw"}, {0x340A, L"es-cl"},
    {0x3801, L"ar-ae"}, {0x380A, L"es-uy"}, {0x3C01, L"ar-bh"}, {0x3C0A, L"es-py"}, {0x4001, L"ar-qa"},
    {0x400A, L"es-bo"}, {0x440A, L"es-sv"}, {0x480A, L"es-hn"}, {0x4C0A, L"es-ni"}, {0x500A, L"es-pr"},
};

constexpr bool SortedById() {
  for (size_t i = 1; i < std::size(kLanguageCodes); ++i)
    if (kLanguageCodes[i - 1].lcid >= kLanguageCodes[i].lcid) return false;
  return true;
}
static_assert(SortedById(), "the language codes must stay sorted by id");

}  // namespace

const wchar_t* LanguageCodeForLcid(ULONG lcid) {
  // The whole id counts: a sort id in the upper bits makes it a different
  // locale, which the viewer gets in the default code.
  const auto end = std::end(kLanguageCodes);
  const auto found = std::lower_bound(std::begin(kLanguageCodes), end, lcid,
                                      [](const LanguageCode& entry, ULONG id) { return entry.lcid < id; });
  return found != end && found->lcid == lcid ? found->code : L"en-us";
}

bool LanguageMatches(const wchar_t* viewerCode, const wchar_t* lang) {
  if (!lang) lang = L"";
  // An English viewer reads every English variant: "en", "en-us", "en-gb".
  // The test is case-sensitive, so "EN" is not one of them.
  if (EqualsIgnoringCase(viewerCode, L"en")) return std::wcsstr(lang, L"en") != nullptr;
  return EqualsIgnoringCase(viewerCode, lang);
}

bool EqualsIgnoringCase(const wchar_t* a, const wchar_t* b) {
  return CompareStringOrdinal(a ? a : L"", -1, b ? b : L"", -1, TRUE) == CSTR_EQUAL;
}

}  // namespace hv
