// Hostile item streams: random bytes and mutations of valid streams must
// load to an HRESULT, never to a crash, a hang or a leak, and whatever loads
// must be usable afterwards.
#include <windows.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/ComObject.h"
#include "common/ModuleLock.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::ComTest;
using test::Narrow;
using test::Hex;
using test::StreamBytes;
using test::StreamOf;

class ItemFuzzTest : public ComTest {};

constexpr uint32_t kSeed = 20240611;

ComPtr<CTAVDiagnosticLogItem> NewItem() { return MakeObject<CTAVDiagnosticLogItem>(); }

void Put(CTAVDiagnosticLogItem* item, const wchar_t* name, const VARIANT& value) {
  unique_bstr bname(SysAllocString(name));
  item->PutParam(bname.get(), value);
}
void PutText(CTAVDiagnosticLogItem* item, const wchar_t* name, const wchar_t* text) {
  unique_variant v;
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(text);
  Put(item, name, *v.get());
}

std::vector<uint8_t> Saved(CTAVDiagnosticLogItem* item) {
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  EXPECT_EQ(S_OK, item->Save(stream.get(), FALSE));
  return StreamBytes(stream.get());
}

// Valid streams that reach every kind of field.
std::vector<std::vector<uint8_t>> Corpus() {
  std::vector<std::vector<uint8_t>> corpus;
  ComPtr<CTAVDiagnosticLogItem> empty = NewItem();
  corpus.push_back(Saved(empty.get()));

  ComPtr<CTAVDiagnosticLogItem> full = NewItem();
  full->ApplySchema(L"<ElementType name=\"batch\" dt:type=\"int\"/><ElementType name=\"tag\"/>"
                    L"<ElementType name=\"when\" dt:type=\"date\"/><ElementType name=\"ok\" dt:type=\"bool\"/>"
                    L"<ElementType name=\"level\" dt:type=\"unsigned char\"/>");
  PutText(full.get(), L"location", L"Hall 3");
  PutText(full.get(), L"provider", L"Pump");
  PutText(full.get(), L"msgtext", L"Pump %1 is at %2!d!%% after %3");
  PutText(full.get(), L"username", L"PLANT7\\op");
  PutText(full.get(), L"userdescription", L"note");
  PutText(full.get(), L"batch", L"77");
  PutText(full.get(), L"tag", L"T-1");
  PutText(full.get(), L"when", L"2024-01-02");
  PutText(full.get(), L"ok", L"true");
  PutText(full.get(), L"level", L"9");
  // One argument of every kind the stream writes differently; the object is null.
  std::vector<VARIANT> args(9);
  const VARTYPE types[] = {VT_BSTR, VT_I4, VT_I8, VT_R8, VT_DATE, VT_I2, VT_CY, VT_UNKNOWN, VT_ERROR};
  for (size_t i = 0; i < args.size(); ++i) {
    VariantInit(&args[i]);
    args[i].vt = types[i];
    args[i].llVal = 95 + i;  // every value field overlaps this one
  }
  args[0].bstrVal = SysAllocString(L"P1");
  args[7].punkVal = nullptr;
  unique_variant list;
  list->vt = VT_ARRAY | VT_VARIANT;
  list->parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(args.size()));
  for (LONG i = 0; i < static_cast<LONG>(args.size()); ++i) SafeArrayPutElement(list->parray, &i, &args[i]);
  for (VARIANT& v : args) VariantClear(&v);
  Put(full.get(), L"arglist", *list.get());
  corpus.push_back(Saved(full.get()));

  ComPtr<CTAVDiagnosticLogItem> parent = NewItem();
  ComPtr<CTAVDiagnosticLogItem> child = NewItem();
  child->SetChild(full->Inner());
  parent->SetChild(child->Inner());
  VARIANT id;
  id.vt = VT_I4;
  id.lVal = 1001;
  Put(parent.get(), L"msgtext", id);
  corpus.push_back(Saved(parent.get()));
  return corpus;
}

const uint32_t kInterestingWords[] = {0,          1,          2,          3,          0xFFFF,     0x10000,
                                      0x10001,    0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0x40000000};

std::vector<uint8_t> Mutate(std::mt19937& random, const std::vector<std::vector<uint8_t>>& corpus) {
  auto pick = [&](size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(random) : 0; };
  std::vector<uint8_t> bytes = corpus[pick(corpus.size())];
  switch (pick(7)) {
    case 0:  // random bytes
      bytes.resize(pick(400));
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      if (bytes.size() >= 4 && pick(2)) bytes[0] = 2, bytes[1] = bytes[2] = bytes[3] = 0;
      break;
    case 1:  // a few bytes changed
      for (size_t n = 1 + pick(8); n && !bytes.empty(); --n) bytes[pick(bytes.size())] = static_cast<uint8_t>(random());
      break;
    case 2:  // cut off
      bytes.resize(pick(bytes.size() + 1));
      break;
    case 3: {  // a count or size replaced by an interesting word
      if (bytes.size() < 4) break;
      const size_t at = pick(bytes.size() - 3);
      const uint32_t word = kInterestingWords[pick(sizeof(kInterestingWords) / sizeof(kInterestingWords[0]))];
      std::memcpy(&bytes[at], &word, 4);
      break;
    }
    case 4: {  // bytes inserted
      const size_t at = pick(bytes.size() + 1);
      std::vector<uint8_t> extra(1 + pick(16));
      for (uint8_t& b : extra) b = static_cast<uint8_t>(random());
      bytes.insert(bytes.begin() + at, extra.begin(), extra.end());
      break;
    }
    case 5: {  // bytes removed
      if (bytes.empty()) break;
      const size_t at = pick(bytes.size());
      bytes.erase(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 1 + pick(16)));
      break;
    }
    case 6: {  // a variant type code replaced
      if (bytes.size() < 2) break;
      const uint16_t types[] = {VT_EMPTY, VT_NULL, VT_DISPATCH, VT_UNKNOWN, VT_VARIANT, VT_DECIMAL, VT_RECORD,
                                VT_ARRAY | VT_I4, VT_BYREF | VT_BSTR, VT_I8, VT_UI8, VT_BSTR, 0xFFFF, VT_CLSID};
      const uint16_t type = types[pick(sizeof(types) / sizeof(types[0]))];
      std::memcpy(&bytes[pick(bytes.size() - 1)], &type, 2);
      break;
    }
  }
  return bytes;
}

// Everything a reader does with a received item; each call must answer.
void Exercise(IUnknown* object, int depth, std::string* problem) {
  ComPtr<ITAVDiagnosticLogItemEx> item;
  object->QueryInterface(IID_ITAVDiagnosticLogItemEx, item.put_void());
  for (const wchar_t* name : {L"location", L"provider", L"datetime", L"username", L"severity", L"type",
                              L"audience", L"verbosity", L"msgtext", L"arglist", L"userdescription",
                              L"ce_based_message"}) {
    unique_bstr bname(SysAllocString(name));
    unique_variant value;
    const HRESULT hr = item->GetParam(bname.get(), value.put());
    if (hr != S_OK) *problem += "GetParam " + Narrow(name) + " gave " + std::to_string(hr) + "; ";
  }
  ULONG count = 0;
  item->ExtendedParameterCount(&count);
  for (ULONG i = 0; i < count && i < 64; ++i) {
    unique_bstr name;
    unique_variant value;
    if (item->ParameterNameAndValue(i, name.put(), value.get()) != S_OK) *problem += "ParameterNameAndValue; ";
  }
  ComPtr<IErrorInfo> info;
  object->QueryInterface(IID_IErrorInfo, info.put_void());
  unique_bstr description;
  const HRESULT described = info->GetDescription(description.put());
  if (described != S_OK && described != E_FAIL) *problem += "GetDescription gave " + std::to_string(described) + "; ";
  ComPtr<IPersistStreamInit> persist;
  object->QueryInterface(IID_IPersistStreamInit, persist.put_void());
  ULARGE_INTEGER size = {};
  const HRESULT measured = persist->GetSizeMax(&size);
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  const HRESULT saved = persist->Save(stream.get(), FALSE);
  if (SUCCEEDED(saved) != SUCCEEDED(measured)) *problem += "Save and GetSizeMax disagree; ";
  if (SUCCEEDED(saved)) {
    // What was accepted once must load again.
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ComPtr<CTAVDiagnosticLogItem> again = NewItem();
    const HRESULT reloaded = again->Load(stream.get());
    if (reloaded != S_OK) *problem += "reload gave " + std::to_string(reloaded) + "; ";
  }
  if (depth >= 3) return;
  ComPtr<IUnknown> child;
  const HRESULT hr = item->GetChild(child.put());
  if (hr != S_OK && hr != E_FAIL) *problem += "GetChild gave " + std::to_string(hr) + "; ";
  if (child) Exercise(child.get(), depth + 1, problem);
}

// Bytes in use in every heap of the process: exact where the memory
// counters of the process are only estimates.
SIZE_T AllocatedBytes() {
  std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
  heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  SIZE_T total = 0;
  for (HANDLE heap : heaps) {
    if (!HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    HeapUnlock(heap);
  }
  return total;
}

// Runs n inputs of the seeded sequence; returns how many loaded whole.
int RunInputs(const std::vector<std::vector<uint8_t>>& corpus, int n, std::chrono::steady_clock::time_point deadline,
              int* ran) {
  std::mt19937 random(kSeed);
  int loaded = 0;
  *ran = 0;
  for (int i = 0; i < n && std::chrono::steady_clock::now() < deadline; ++i, ++*ran) {
    const std::vector<uint8_t> input = Mutate(random, corpus);
    ComPtr<CTAVDiagnosticLogItem> item = NewItem();
    ComPtr<IStream> stream = StreamOf(input);
    const HRESULT hr = item->Load(stream.get());
    if (hr != S_OK && SUCCEEDED(hr)) {
      ADD_FAILURE() << "input " << i << " loaded with " << hr << ": " << Hex(input);
      continue;
    }
    std::string problem;
    if (hr == S_OK) {
      ++loaded;
      Exercise(item->Inner(), 0, &problem);
    } else {
      // Even a half-read item answers its readers.
      unique_bstr description;
      item->GetDescription(description.put());
    }
    if (!problem.empty()) ADD_FAILURE() << "input " << i << ": " << problem << Hex(input);
  }
  return loaded;
}

TEST_F(ItemFuzzTest, HostileStreamsAlwaysEndInAnHResult) {
  const std::vector<std::vector<uint8_t>> corpus = Corpus();
  const LONG locks = ModuleLockCount();
  const DWORD handlesBefore = [] {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
  }();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);

  // The whole seeded sequence once, then its beginning twice more: the
  // later passes meet warm caches (provider lookups, the heap) and must not
  // grow the process.
  constexpr int kInputs = 3000;
  constexpr int kRepeated = 800;
  int ran = 0;
  const int loaded = RunInputs(corpus, kInputs, deadline, &ran);
  int ranAgain = 0;
  RunInputs(corpus, kRepeated, deadline, &ranAgain);
  const SIZE_T afterSecond = AllocatedBytes();
  RunInputs(corpus, kRepeated, deadline, &ranAgain);
  const SIZE_T afterThird = AllocatedBytes();

  EXPECT_EQ(kInputs, ran) << "the first pass did not finish in time";
  EXPECT_GT(loaded, 100) << "too few inputs loaded to exercise readers";
  EXPECT_EQ(locks, ModuleLockCount());
  DWORD handlesAfter = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
  EXPECT_LE(handlesAfter, handlesBefore + 16);
  EXPECT_EQ(kRepeated, ranAgain) << "the repeated passes did not finish in time";
  if (ranAgain == kRepeated) {
    EXPECT_LT(afterThird, afterSecond + 4096) << "heap use grew from " << afterSecond << " to " << afterThird;
  }
  std::printf("%d inputs, %d loaded whole; heap bytes in use %llu, then %llu\n", ran, loaded,
              static_cast<unsigned long long>(afterSecond), static_cast<unsigned long long>(afterThird));
}

TEST_F(ItemFuzzTest, HugeCountsFailWithoutReservingMemory) {
  const std::vector<uint8_t> valid = Corpus()[0];
  // Offsets of the argument count, the child size and the extended count
  // in the stream of an empty item.
  const size_t argumentCount = 4 + 30 + 8 + 16 + 16 + 4;
  struct Case {
    size_t at;
    uint32_t word;
    HRESULT expected;
  } cases[] = {
      {argumentCount, 0xFFFFFFFF, E_OUTOFMEMORY},
      {argumentCount + 4, 0xFFFFFFF0, E_FAIL},
      {argumentCount + 8, 0xFFFFFFFF, E_FAIL},
      {4, 0xFFFFFFFF, E_OUTOFMEMORY},  // a string count that no BSTR can hold
      {4, 0x7FFFFFFF, E_FAIL},         // one that could, but the stream has not that much
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = valid;
    std::memcpy(&bytes[c.at], &c.word, 4);
    ComPtr<CTAVDiagnosticLogItem> item = NewItem();
    ComPtr<IStream> stream = StreamOf(bytes);
    EXPECT_EQ(c.expected, item->Load(stream.get())) << "word " << std::hex << c.word << " at " << std::dec << c.at;
    ULONG count = 1;
    item->ExtendedParameterCount(&count);
    EXPECT_EQ(0u, count);
  }
}

}  // namespace
}  // namespace hv
