// The item stream: byte layout, persistence interfaces, child items held by
// value, object values and failing streams.
#include <windows.h>
#include <olectl.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/ComObject.h"
#include "common/ModuleLock.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "support/ItemParams.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::ComTest;
using test::GetValue;
using test::Held;
using test::Narrow;
using test::Hex;
using test::StreamBytes;
using test::StreamOf;

class ItemStreamTest : public ComTest {};

ComPtr<CTAVDiagnosticLogItem> NewItem() { return MakeObject<CTAVDiagnosticLogItem>(); }

// The expected side of each comparison, spelled out field by field.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& raw(std::initializer_list<uint8_t> bytes) {
    b.insert(b.end(), bytes);
    return *this;
  }
  Bytes& u16(uint16_t v) { return raw({uint8_t(v), uint8_t(v >> 8)}); }
  Bytes& u32(uint32_t v) { return raw({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
  Bytes& f64(double d) {
    uint8_t bytes[8];
    std::memcpy(bytes, &d, 8);
    b.insert(b.end(), bytes, bytes + 8);
    return *this;
  }
  Bytes& str(const std::wstring& s) {
    u32(static_cast<uint32_t>(2 * s.size() + 2));
    for (wchar_t c : s) u16(c);
    return u16(0);
  }
  Bytes& zeros(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
};

void Put(CTAVDiagnosticLogItem* item, const wchar_t* name, const VARIANT& value) { test::Put(item->Inner(), name, value); }
void PutLong(CTAVDiagnosticLogItem* item, const wchar_t* name, long value) { test::PutLong(item->Inner(), name, value); }
void PutText(CTAVDiagnosticLogItem* item, const wchar_t* name, const wchar_t* text) {
  test::PutText(item->Inner(), name, text);
}
void PutDate(CTAVDiagnosticLogItem* item, double date) {
  VARIANT v;
  v.vt = VT_DATE;
  v.date = date;
  Put(item, L"datetime", v);
}
std::wstring GetText(IUnknown* object, const wchar_t* name) {
  Held v = GetValue(object, name);
  return v->vt == VT_BSTR ? std::wstring(v->bstrVal, SysStringLen(v->bstrVal)) : L"<vt " + std::to_wstring(v->vt) + L">";
}

// Insertion arguments given as a list of variants (the list keeps ownership).
void PutArguments(CTAVDiagnosticLogItem* item, const std::vector<VARIANT>& arguments) {
  unique_variant list;
  list->vt = VT_ARRAY | VT_VARIANT;
  list->parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(arguments.size()));
  for (LONG i = 0; i < static_cast<LONG>(arguments.size()); ++i)
    SafeArrayPutElement(list->parray, &i, const_cast<VARIANT*>(&arguments[i]));
  Put(item, L"arglist", *list.get());
}

std::vector<uint8_t> SaveBytes(IUnknown* object, HRESULT expected = S_OK) {
  ComPtr<IPersistStreamInit> persist;
  object->QueryInterface(IID_IPersistStreamInit, persist.put_void());
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  EXPECT_EQ(expected, persist->Save(stream.get(), TRUE));
  return StreamBytes(stream.get());
}

ULONG MeasuredSize(IUnknown* object) {
  ComPtr<IPersistStream> persist;
  object->QueryInterface(IID_IPersistStream, persist.put_void());
  ULARGE_INTEGER size;
  size.QuadPart = 0xDEADBEEFDEADBEEFull;
  EXPECT_EQ(S_OK, persist->GetSizeMax(&size));
  EXPECT_EQ(0u, size.HighPart);
  return size.LowPart;
}

HRESULT LoadBytes(CTAVDiagnosticLogItem* item, const std::vector<uint8_t>& bytes) {
  ComPtr<IStream> stream = StreamOf(bytes);
  return item->Load(stream.get());
}

// The fixed middle of a stream: date, severity, audience, verbosity, help
// context, GUID, message id.
Bytes& FixedFields(Bytes& b, double date, long id = -1) {
  return b.f64(date).u32(0).u32(0).u32(0).u32(0).zeros(16).u32(static_cast<uint32_t>(id));
}

TEST_F(ItemStreamTest, EmptyItemIsNinetyEightBytes) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutDate(item.get(), 1.5);
  Bytes expected;
  expected.u32(2).str(L"").str(L"").str(L"").str(L"").str(L"");
  FixedFields(expected, 1.5);
  expected.u32(0).u32(0).u32(0).raw({0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00});
  ASSERT_EQ(98u, expected.b.size());
  EXPECT_EQ(98u, MeasuredSize(item->Inner()));
  const std::vector<uint8_t> saved = SaveBytes(item->Inner());
  EXPECT_EQ(Hex(expected.b), Hex(saved));

  // No header of its own: two saves into one stream simply follow each other.
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  ASSERT_EQ(S_OK, item->Save(stream.get(), FALSE));
  ASSERT_EQ(S_OK, item->Save(stream.get(), FALSE));
  EXPECT_EQ(196u, StreamBytes(stream.get()).size());
  EXPECT_EQ(E_POINTER, item->Save(nullptr, FALSE));
  EXPECT_EQ(E_POINTER, item->Load(nullptr));
  EXPECT_EQ(E_POINTER, item->GetSizeMax(nullptr));
}

TEST_F(ItemStreamTest, EveryFieldHasItsPlaceAndForm) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  ASSERT_EQ(S_OK, item->ApplySchema(L"<ElementType name=\"Level\" dt:type=\"unsigned char\"/>"));
  PutText(item.get(), L"location", L"ab");
  PutText(item.get(), L"provider", L"P");
  PutLong(item.get(), L"msgtext", 1001);
  PutText(item.get(), L"username", L"u");
  item->SetHelpFile(const_cast<wchar_t*>(L"h"));
  PutDate(item.get(), 2.0);
  PutLong(item.get(), L"severity", 1);
  PutLong(item.get(), L"audience", 2);
  PutLong(item.get(), L"verbosity", 3);
  item->SetHelpContext(0x01020304);
  const GUID guid = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};
  item->SetGUID(guid);
  std::vector<VARIANT> args(6);
  for (VARIANT& v : args) VariantInit(&v);
  args[0].vt = VT_I4;
  args[0].lVal = 5;
  args[1].vt = VT_BSTR;
  args[1].bstrVal = SysAllocStringLen(L"a\0b", 3);  // embedded zero travels too
  args[2].vt = VT_UI1;
  args[2].bVal = 0x7F;
  args[3].vt = VT_BOOL;
  args[3].boolVal = VARIANT_TRUE;
  args[4].vt = VT_EMPTY;
  args[5].vt = VT_R8;
  args[5].dblVal = 0.5;
  PutArguments(item.get(), args);
  for (VARIANT& v : args) VariantClear(&v);
  PutLong(item.get(), L"level", 200);
  PutText(item.get(), L"userdescription", L"note");

  Bytes expected;
  expected.u32(2).str(L"ab").str(L"P").str(L"").str(L"u").str(L"h");
  expected.f64(2.0).u32(1).u32(2).u32(3).raw({0x04, 0x03, 0x02, 0x01});
  expected.raw({0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0x88, 0x77, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00});
  expected.raw({0xE9, 0x03, 0x00, 0x00});  // 1001
  expected.u32(6);
  expected.raw({0x03, 0x00, 0x05, 0x00, 0x00, 0x00});
  expected.raw({0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x61, 0x00, 0x00, 0x00, 0x62, 0x00, 0x00, 0x00});
  expected.raw({0x11, 0x00, 0x7F});
  expected.raw({0x0B, 0x00, 0xFF, 0xFF});
  expected.raw({0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00});
  expected.u16(VT_R8).f64(0.5);
  expected.u32(0);  // no child
  expected.u32(1).str(L"level").raw({0x11, 0x00, 0x00, 0x00, 0x11, 0x00, 0xC8});
  expected.u16(VT_BSTR).str(L"note");

  const std::vector<uint8_t> saved = SaveBytes(item->Inner());
  EXPECT_EQ(Hex(expected.b), Hex(saved));
  EXPECT_EQ(saved.size(), MeasuredSize(item->Inner()));
  // Location "ab" right after the version word.
  ASSERT_GE(saved.size(), 14u);
  EXPECT_EQ("06 00 00 00 61 00 62 00 00 00", Hex({saved.begin() + 4, saved.begin() + 14}));

  // Read back into a new item, everything comes out the same.
  ComPtr<CTAVDiagnosticLogItem> copy = NewItem();
  PutText(copy.get(), L"ce_based_message", L"true");
  ASSERT_EQ(S_OK, LoadBytes(copy.get(), saved));
  EXPECT_EQ(Hex(saved), Hex(SaveBytes(copy->Inner())));
  EXPECT_EQ(L"ab", GetText(copy->Inner(), L"location"));
  EXPECT_EQ(1001, GetValue(copy->Inner(), L"msgtext")->lVal);
  EXPECT_EQ(L"note", GetText(copy->Inner(), L"userdescription"));
  Held level = GetValue(copy->Inner(), L"level");
  EXPECT_EQ(VT_UI1, level->vt);
  EXPECT_EQ(200, level->bVal);
  EXPECT_EQ(VARIANT_TRUE, GetValue(copy->Inner(), L"ce_based_message")->boolVal)
      << "the flag is not part of the stream, so a load leaves it";
  GUID readGuid = {};
  copy->GetGUID(&readGuid);
  EXPECT_TRUE(IsEqualGUID(guid, readGuid));
  std::vector<VARIANT> loaded = copy->InsertionArgs();
  ASSERT_EQ(6u, loaded.size());
  EXPECT_EQ(3u, SysStringLen(loaded[1].bstrVal));
  EXPECT_EQ(VT_EMPTY, loaded[4].vt);
  EXPECT_EQ(0.5, loaded[5].dblVal);
  for (VARIANT& v : loaded) VariantClear(&v);

  // A fresh item given the stream reads the flag as false.
  ComPtr<CTAVDiagnosticLogItem> fresh = NewItem();
  ASSERT_EQ(S_OK, LoadBytes(fresh.get(), saved));
  EXPECT_EQ(VARIANT_FALSE, GetValue(fresh->Inner(), L"ce_based_message")->boolVal);
}

TEST_F(ItemStreamTest, ValuesWithoutTextFormCannotBeWrittenOrMeasured) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  VARIANT null;
  null.vt = VT_NULL;
  PutArguments(item.get(), {null});
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  EXPECT_EQ(DISP_E_TYPEMISMATCH, item->Save(stream.get(), FALSE));
  ULARGE_INTEGER size = {};
  EXPECT_EQ(DISP_E_TYPEMISMATCH, item->GetSizeMax(&size));
  DWORD marshalSize = 0;
  EXPECT_EQ(DISP_E_TYPEMISMATCH,
            item->GetMarshalSizeMax(IID_IUnknown, nullptr, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL, &marshalSize));
}

TEST_F(ItemStreamTest, SixtyFourBitIntegersAreMeasuredByTheirText) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  VARIANT big;
  big.vt = VT_I8;
  big.llVal = -1234567890123LL;  // 14 characters of text
  PutArguments(item.get(), {big});
  const std::vector<uint8_t> saved = SaveBytes(item->Inner());
  // The value itself is written as 8 bytes...
  ASSERT_EQ(98u + 10u, saved.size());
  const size_t at = 4 + 30 + 8 + 16 + 16 + 4 + 4;
  EXPECT_EQ("14 00 35 FB 04 8E E0 FE FF FF", Hex({saved.begin() + at, saved.begin() + at + 10}));
  // ...but counted as 4 + 30 bytes of text.
  EXPECT_EQ(98u + 2 + 4 + 30, MeasuredSize(item->Inner()));
  ComPtr<CTAVDiagnosticLogItem> copy = NewItem();
  ASSERT_EQ(S_OK, LoadBytes(copy.get(), saved));
  std::vector<VARIANT> args = copy->InsertionArgs();
  ASSERT_EQ(1u, args.size());
  EXPECT_EQ(VT_I8, args[0].vt);
  EXPECT_EQ(-1234567890123LL, args[0].llVal);
}

TEST_F(ItemStreamTest, VersionOneStreamKeepsTheUserDescription) {
  ComPtr<CTAVDiagnosticLogItem> sender = NewItem();
  PutText(sender.get(), L"location", L"Hall 3");
  PutText(sender.get(), L"userdescription", L"sent");
  std::vector<uint8_t> bytes = SaveBytes(sender->Inner());
  const size_t descriptionSize = 2 + 4 + 10;
  bytes.resize(bytes.size() - descriptionSize);
  for (uint8_t version : {1, 3}) {
    bytes[0] = version;
    ComPtr<CTAVDiagnosticLogItem> receiver = NewItem();
    PutText(receiver.get(), L"userdescription", L"kept");
    ComPtr<IStream> stream = StreamOf(bytes);
    ASSERT_EQ(S_OK, receiver->Load(stream.get())) << "version " << int(version);
    EXPECT_EQ(L"kept", GetText(receiver->Inner(), L"userdescription"));
    EXPECT_EQ(L"Hall 3", receiver->Location());
    // Nothing is read beyond the extended table.
    ULARGE_INTEGER position = {};
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_CUR, &position);
    EXPECT_EQ(bytes.size(), position.QuadPart);
  }
}

TEST_F(ItemStreamTest, CutOffStreamsFailAndKeepWhatWasRead) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  item->ApplySchema(L"<ElementType name=\"batch\" dt:type=\"int\"/><ElementType name=\"tag\"/>");
  PutText(item.get(), L"location", L"Hall 3");
  PutText(item.get(), L"msgtext", L"Pump %1 started");
  VARIANT arg;
  arg.vt = VT_I4;
  arg.lVal = 4;
  PutArguments(item.get(), {arg});
  PutLong(item.get(), L"batch", 77);
  PutText(item.get(), L"tag", L"T-1");
  ComPtr<CTAVDiagnosticLogItem> child = NewItem();
  ASSERT_EQ(S_OK, item->SetChild(child->Inner()));
  const std::vector<uint8_t> full = SaveBytes(item->Inner());

  // Every strictly shorter prefix ends early somewhere.
  for (size_t length = 0; length < full.size(); ++length) {
    ComPtr<CTAVDiagnosticLogItem> receiver = NewItem();
    ASSERT_EQ(E_FAIL, LoadBytes(receiver.get(), {full.begin(), full.begin() + length})) << "length " << length;
  }

  // Cut inside the second extended entry's name.
  const std::vector<uint8_t> tail = Bytes().str(L"tag").b;
  size_t tagAt = 0;
  for (size_t i = full.size() - tail.size(); i > 0; --i)
    if (std::equal(tail.begin(), tail.end(), full.begin() + i)) {
      tagAt = i;
      break;
    }
  ASSERT_NE(0u, tagAt);
  ComPtr<CTAVDiagnosticLogItem> receiver = NewItem();
  ASSERT_EQ(E_FAIL, LoadBytes(receiver.get(), {full.begin(), full.begin() + tagAt + 6}));
  EXPECT_EQ(L"Hall 3", receiver->Location());
  EXPECT_EQ(L"Pump %1 started", receiver->MessageText());
  EXPECT_TRUE(receiver->HasChild());
  ULONG count = 0;
  receiver->ExtendedParameterCount(&count);
  EXPECT_EQ(2u, count);
  unique_bstr name;
  unique_variant value;
  ASSERT_EQ(S_OK, receiver->ParameterNameAndValue(0, name.put(), value.get()));
  EXPECT_EQ(L"batch", std::wstring(name.get()));
  EXPECT_EQ(77, value->lVal);
  ASSERT_EQ(S_OK, receiver->ParameterNameAndValue(1, name.put(), value.get()));
  EXPECT_EQ(L"", std::wstring(name.get()));
  EXPECT_EQ(VT_EMPTY, value->vt);
}

TEST_F(ItemStreamTest, LoadReplacesTableChildAndCachedDescription) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  item->ApplySchema(L"<ElementType name=\"batch\"/>");
  PutText(item.get(), L"msgtext", L"before");
  ASSERT_EQ(S_OK, item->SetChild(NewItem()->Inner()));
  unique_bstr description;
  ASSERT_EQ(S_OK, item->GetDescription(description.put()));
  EXPECT_EQ(L"before", std::wstring(description.get()));

  ComPtr<CTAVDiagnosticLogItem> other = NewItem();
  PutText(other.get(), L"msgtext", L"after");
  ASSERT_EQ(S_OK, LoadBytes(item.get(), SaveBytes(other->Inner())));
  ULONG count = 9;
  item->ExtendedParameterCount(&count);
  EXPECT_EQ(0u, count);
  EXPECT_FALSE(item->HasChild());
  ASSERT_EQ(S_OK, item->GetDescription(description.put()));
  EXPECT_EQ(L"after", std::wstring(description.get()));
}

TEST_F(ItemStreamTest, ChildIsStoredByValue) {
  ComPtr<CTAVDiagnosticLogItem> parent = NewItem();
  ComPtr<CTAVDiagnosticLogItem> child = NewItem();
  PutText(child.get(), L"location", L"child");
  PutText(child.get(), L"username", L"someone");
  ASSERT_EQ(S_OK, parent->SetChild(child->Inner()));
  const std::vector<uint8_t> childBytes = SaveBytes(child->Inner());
  ASSERT_EQ(childBytes.size(), MeasuredSize(child->Inner()));

  // The child block: its measured size, then its own stream.
  const std::vector<uint8_t> saved = SaveBytes(parent->Inner());
  const size_t at = 4 + 30 + 8 + 16 + 16 + 4 + 4;
  ASSERT_EQ(98u + childBytes.size(), saved.size());
  EXPECT_EQ(Hex(Bytes().u32(static_cast<uint32_t>(childBytes.size())).b), Hex({saved.begin() + at, saved.begin() + at + 4}));
  EXPECT_EQ(Hex(childBytes), Hex({saved.begin() + at + 4, saved.begin() + at + 4 + childBytes.size()}));

  // No reference to the child object remains.
  PutText(child.get(), L"location", L"changed");
  ComPtr<IUnknown> first, second;
  ASSERT_EQ(S_OK, parent->GetChild(first.put()));
  ASSERT_EQ(S_OK, parent->GetChild(second.put()));
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(L"child", GetText(first.get(), L"location"));
  EXPECT_EQ(Hex(childBytes), Hex(SaveBytes(first.get())));
  ComPtr<ITAVDiagnosticLogItem> firstItem;
  first->QueryInterface(IID_ITAVDiagnosticLogItem, firstItem.put_void());
  unique_bstr location(SysAllocString(L"location"));
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = 1;
  ASSERT_EQ(S_OK, firstItem->PutParam(location.get(), v));
  EXPECT_EQ(L"child", GetText(second.get(), L"location"));
  ComPtr<IUnknown> third;
  parent->GetChild(third.put());
  EXPECT_EQ(L"child", GetText(third.get(), L"location"));

  // A copy shares the stored bytes; storing a new child makes new ones.
  ComPtr<CTAVDiagnosticLogItem> copy = NewItem();
  copy->CopyFrom(*parent.get());
  ASSERT_EQ(S_OK, parent->SetChild(child->Inner()));
  ComPtr<IUnknown> fromCopy;
  copy->GetChild(fromCopy.put());
  EXPECT_EQ(L"child", GetText(fromCopy.get(), L"location"));

  // Removing: a null child, or anything that is neither item nor error object.
  ASSERT_EQ(S_OK, parent->SetChild(nullptr));
  EXPECT_FALSE(parent->HasChild());
  ASSERT_EQ(S_OK, parent->SetChild(child->Inner()));
  ComPtr<IStream> notAnItem;
  CreateStreamOnHGlobal(nullptr, TRUE, notAnItem.put());
  EXPECT_EQ(E_INVALIDARG, parent->SetChild(notAnItem.get()));
  EXPECT_FALSE(parent->HasChild());
  ComPtr<IUnknown> none;
  EXPECT_EQ(S_OK, parent->GetChild(none.put()));
  EXPECT_FALSE(none);
}

TEST_F(ItemStreamTest, ChildBlockKeepsTheMeasuredSizeWithZeroFiller) {
  // A 64-bit argument is measured larger than it is written.
  ComPtr<CTAVDiagnosticLogItem> child = NewItem();
  VARIANT big;
  big.vt = VT_UI8;
  big.ullVal = 18000000000000000000ull;  // 20 characters
  PutArguments(child.get(), {big});
  const std::vector<uint8_t> childBytes = SaveBytes(child->Inner());
  const ULONG measured = MeasuredSize(child->Inner());
  ASSERT_EQ(childBytes.size() + 4 + 42 - 8, measured);

  ComPtr<CTAVDiagnosticLogItem> parent = NewItem();
  ASSERT_EQ(S_OK, parent->SetChild(child->Inner()));
  const std::vector<uint8_t> saved = SaveBytes(parent->Inner());
  const size_t at = 4 + 30 + 8 + 16 + 16 + 4 + 4;
  ASSERT_EQ(98u + measured, saved.size());
  EXPECT_EQ(Hex(Bytes().u32(measured).b), Hex({saved.begin() + at, saved.begin() + at + 4}));
  EXPECT_EQ(Hex(childBytes), Hex({saved.begin() + at + 4, saved.begin() + at + 4 + childBytes.size()}));
  const std::vector<uint8_t> filler(saved.begin() + at + 4 + childBytes.size(), saved.begin() + at + 4 + measured);
  EXPECT_EQ(Hex(std::vector<uint8_t>(measured - childBytes.size(), 0)), Hex(filler));

  ComPtr<CTAVDiagnosticLogItem> loaded = NewItem();
  ASSERT_EQ(S_OK, LoadBytes(loaded.get(), saved));
  EXPECT_EQ(Hex(saved), Hex(SaveBytes(loaded->Inner())));
  ComPtr<IUnknown> back;
  ASSERT_EQ(S_OK, loaded->GetChild(back.put()));
  EXPECT_EQ(Hex(childBytes), Hex(SaveBytes(back.get())));
}

void FillTestUser(CTAVDiagnosticLogItem& item) { item.SetUserName(L"PLANT7\\tester"); }

TEST_F(ItemStreamTest, StoringAChildWithoutUserFillsTheCallersItem) {
  const UserNameFiller previous = ItemUserNameFiller;
  ItemUserNameFiller = &FillTestUser;
  ComPtr<CTAVDiagnosticLogItem> parent = NewItem(), anonymous = NewItem(), named = NewItem();
  PutText(named.get(), L"username", L"someone");
  EXPECT_EQ(S_OK, parent->SetChild(anonymous->Inner()));
  EXPECT_EQ(S_OK, parent->SetChild(named->Inner()));
  ItemUserNameFiller = previous;
  EXPECT_EQ(L"PLANT7\\tester", anonymous->UserName());
  EXPECT_EQ(L"someone", named->UserName());
  ComPtr<IUnknown> stored;
  parent->GetChild(stored.put());
  EXPECT_EQ(L"someone", GetText(stored.get(), L"username"));
}

TEST_F(ItemStreamTest, ObjectValues) {
  // A null object is a null class id and nothing else.
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  VARIANT object;
  object.vt = VT_UNKNOWN;
  object.punkVal = nullptr;
  PutArguments(item.get(), {object});
  std::vector<uint8_t> saved = SaveBytes(item->Inner());
  const size_t at = 4 + 30 + 8 + 16 + 16 + 4 + 4;
  ASSERT_EQ(98u + 18u, saved.size());
  EXPECT_EQ(Hex(Bytes().u16(VT_UNKNOWN).zeros(16).b), Hex({saved.begin() + at, saved.begin() + at + 18}));
  EXPECT_EQ(saved.size(), MeasuredSize(item->Inner()));
  ComPtr<CTAVDiagnosticLogItem> loaded = NewItem();
  ASSERT_EQ(S_OK, LoadBytes(loaded.get(), saved));
  std::vector<VARIANT> args = loaded->InsertionArgs();
  ASSERT_EQ(1u, args.size());
  EXPECT_EQ(VT_UNKNOWN, args[0].vt);
  EXPECT_EQ(nullptr, args[0].punkVal);

  // A persistable object goes out with its class id and comes back alive,
  // followed by the rest of the item.
  PutText(item.get(), L"userdescription", L"after the font");
  FONTDESC desc = {sizeof(FONTDESC), const_cast<wchar_t*>(L"Tahoma"), {120000, 0}, FW_BOLD, ANSI_CHARSET,
                   FALSE, FALSE, FALSE};
  ComPtr<IDispatch> font;
  ASSERT_EQ(S_OK, OleCreateFontIndirect(&desc, IID_IDispatch, font.put_void()));
  object.vt = VT_DISPATCH;
  object.pdispVal = font.get();
  PutArguments(item.get(), {object});
  saved = SaveBytes(item->Inner());
  EXPECT_EQ(Hex(Bytes().u16(VT_DISPATCH).b), Hex({saved.begin() + at, saved.begin() + at + 2}));
  CLSID written;
  std::memcpy(&written, &saved[at + 2], sizeof(written));
  EXPECT_TRUE(IsEqualCLSID(CLSID_StdFont, written));
  EXPECT_GE(MeasuredSize(item->Inner()), saved.size());
  ASSERT_EQ(S_OK, LoadBytes(loaded.get(), saved));
  args = loaded->InsertionArgs();
  ASSERT_EQ(1u, args.size());
  ASSERT_EQ(VT_DISPATCH, args[0].vt);
  ASSERT_NE(nullptr, args[0].pdispVal);
  ComPtr<IFont> loadedFont;
  ASSERT_EQ(S_OK, args[0].pdispVal->QueryInterface(IID_IFont, loadedFont.put_void()));
  BOOL bold = FALSE;
  loadedFont->get_Bold(&bold);
  EXPECT_TRUE(bold);
  VariantClear(&args[0]);
  EXPECT_EQ(L"after the font", GetText(loaded->Inner(), L"userdescription"));

  // An item has no class id to write, and a plain object no persistence.
  ComPtr<CTAVDiagnosticLogItem> nested = NewItem();
  object.vt = VT_UNKNOWN;
  object.punkVal = nested->Inner();
  PutArguments(item.get(), {object});
  SaveBytes(item->Inner(), E_NOTIMPL);
  ComPtr<IStream> plain;
  CreateStreamOnHGlobal(nullptr, TRUE, plain.put());
  object.punkVal = plain.get();
  PutArguments(item.get(), {object});
  SaveBytes(item->Inner(), E_NOINTERFACE);
  ULARGE_INTEGER size;
  EXPECT_EQ(E_NOINTERFACE, item->GetSizeMax(&size));

  // A stream that names the item class as an object is not followed.
  Bytes hostile;
  hostile.u32(2).str(L"").str(L"").str(L"").str(L"").str(L"");
  FixedFields(hostile, 0.0).u32(1).u16(VT_UNKNOWN);
  hostile.b.insert(hostile.b.end(), reinterpret_cast<const uint8_t*>(&CLSID_TAVDiagnosticLogItem),
                   reinterpret_cast<const uint8_t*>(&CLSID_TAVDiagnosticLogItem) + 16);
  hostile.b.insert(hostile.b.end(), saved.begin(), saved.end());
  EXPECT_EQ(E_FAIL, LoadBytes(loaded.get(), hostile.b));
}

// A memory stream that can be told to fail.
class FaultyStream final : public IStream, public ComObject {
 public:
  HV_COM_OBJECT(FaultyStream)
  static const QIEntry kInterfaces[];
  FaultyStream(const std::vector<uint8_t>& bytes) : inner_(StreamOf(bytes)) {}

  HRESULT writeResult = S_OK;
  bool shortReads = false;  // delivers everything but answers S_FALSE
  ULONG readsUntilFailure = ULONG_MAX;

  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* read) override {
    if (readsUntilFailure-- == 0) return STG_E_READFAULT;
    HRESULT hr = inner_->Read(pv, cb, read);
    return shortReads ? S_FALSE : hr;
  }
  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* written) override {
    if (FAILED(writeResult)) return writeResult;
    return inner_->Write(pv, cb, written);
  }
  STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    return inner_->Seek(move, origin, position);
  }
  STDMETHODIMP SetSize(ULARGE_INTEGER size) override { return inner_->SetSize(size); }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  STDMETHODIMP Commit(DWORD) override { return S_OK; }
  STDMETHODIMP Revert() override { return E_NOTIMPL; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override { return inner_->Stat(stat, flags); }
  STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

 private:
  ~FaultyStream() override = default;
  ComPtr<IStream> inner_;
};
const QIEntry FaultyStream::kInterfaces[] = {HV_QI_ENTRY(FaultyStream, IStream), HV_QI_END};

TEST_F(ItemStreamTest, StreamFailuresArePassedOnOrBecomeEFail) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item.get(), L"location", L"Hall 3");
  const std::vector<uint8_t> saved = SaveBytes(item->Inner());

  ComPtr<FaultyStream> full = MakeObject<FaultyStream>(std::vector<uint8_t>());
  full->writeResult = STG_E_MEDIUMFULL;
  EXPECT_EQ(STG_E_MEDIUMFULL, item->Save(full.get(), FALSE));

  ComPtr<FaultyStream> answersFalse = MakeObject<FaultyStream>(saved);
  answersFalse->shortReads = true;
  ComPtr<CTAVDiagnosticLogItem> receiver = NewItem();
  EXPECT_EQ(E_FAIL, receiver->Load(answersFalse.get()));

  // A read error ends the load with that error; the location came before it.
  ComPtr<FaultyStream> breaks = MakeObject<FaultyStream>(saved);
  breaks->readsUntilFailure = 3;  // version, location count, location text
  EXPECT_EQ(STG_E_READFAULT, receiver->Load(breaks.get()));
  EXPECT_EQ(L"Hall 3", receiver->Location());
}

// A memory stream is read in place, any other stream field by field: a load
// that is cut off anywhere ends alike in both, at the same position.
TEST_F(ItemStreamTest, MemoryAndOtherStreamsLoadAlike) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  item->ApplySchema(L"<ElementType name=\"tag\"/>");
  PutText(item.get(), L"location", L"Hall 3");
  PutText(item.get(), L"tag", L"T-1");
  std::vector<uint8_t> full = SaveBytes(item->Inner());
  full.push_back(0x5A);  // not the item's: stays unread
  auto position = [](IStream* stream) {
    ULARGE_INTEGER at = {};
    stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &at);
    return at.QuadPart;
  };
  for (size_t length = 0; length <= full.size(); ++length) {
    const std::vector<uint8_t> prefix(full.begin(), full.begin() + length);
    ComPtr<IStream> memory = StreamOf(prefix);
    ComPtr<FaultyStream> other = MakeObject<FaultyStream>(prefix);
    ComPtr<CTAVDiagnosticLogItem> fromMemory = NewItem();
    ComPtr<CTAVDiagnosticLogItem> fromOther = NewItem();
    const HRESULT loaded = fromMemory->Load(memory.get());
    EXPECT_EQ(fromOther->Load(other.get()), loaded) << "length " << length;
    EXPECT_EQ(position(other.get()), position(memory.get())) << "length " << length;
    EXPECT_EQ(Hex(SaveBytes(fromOther->Inner())), Hex(SaveBytes(fromMemory->Inner()))) << "length " << length;
  }
}

}  // namespace
}  // namespace hv
