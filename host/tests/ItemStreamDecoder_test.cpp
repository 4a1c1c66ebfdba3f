// Item streams as the library writes them, built byte by byte, and the ways
// a damaged or hostile one must be refused.
#include <gtest/gtest.h>

#include <cstring>

#include "item/ItemStreamDecoder.h"
#include "support/ItemBytes.h"

using namespace hv::host;
using namespace hvtest;

namespace {

bool Decode(const Bytes& b, ItemRecord* item) {
  std::string error;
  bool ok = ItemStreamDecoder::Decode(b.data(), b.size(), item, &error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

bool Refused(const Bytes& b) {
  ItemRecord item;
  std::string why;
  return !ItemStreamDecoder::Decode(b.data(), b.size(), &item, &why) && !why.empty();
}

// `b` with the 32-bit number at `at` (from the end when negative) replaced.
Bytes Patched(Bytes b, std::ptrdiff_t at, uint32_t value) {
  Bytes v = Le32(value);
  std::copy(v.begin(), v.end(), (at < 0 ? b.end() : b.begin()) + at);
  return b;
}

// Every part of the format at once: strings, fixed fields, arguments, a child
// with filler, extended parameters and a text user description.
ItemBytes FullItem() {
  ItemBytes child;
  child.location = u"child";
  ItemBytes item;
  item.location = u"ab";
  item.provider = u"Provider";
  item.messageText = u"Pump %1 stopped";
  item.userName = u"DOMAIN\\op";
  item.helpFile = u"help.chm";
  item.dateTime = 45321.25;
  item.severity = 2;
  item.audience = 9;
  item.verbosity = 3;
  item.helpContext = 77;
  item.messageId = 1001;
  item.arguments = {Variant(VT_I4, Le32(5)), Variant(VT_BSTR, Counted(u"P-7"))};
  item.child = child.Build();
  item.childFiller = 4;
  item.extended = {Concat({Counted(u"COUNT"), {0x11, 0x00, 0x00, 0x00}, {0x11, 0x00, 0x07}})};
  item.userDescription = Variant(VT_BSTR, Counted(u"operator note"));
  return item;
}

}  // namespace

TEST(ItemStreamDecoder, EmptyItemIs98BytesAndReadsBack) {
  const Bytes empty = Concat({
      {0x02, 0x00, 0x00, 0x00},
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00},  // five empty strings
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
      Bytes(40, 0),                     // datetime, severity, audience, verbosity, help context, error guid
      {0xFF, 0xFF, 0xFF, 0xFF},         // message id -1: the message is text
      Bytes(12, 0),                     // no arguments, no child, no extended parameters
      {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00},  // VT_EMPTY user description
  });
  ASSERT_EQ(empty.size(), 98u);
  ASSERT_EQ(ItemBytes().Build(), empty) << "the test's own builder disagrees with the hand-written bytes";
  ItemRecord item;
  ASSERT_TRUE(Decode(empty, &item));
  EXPECT_EQ(item.version, 2u);
  EXPECT_EQ(item.messageId, -1);
  EXPECT_TRUE(item.arguments.empty() && item.extended.empty() && item.child == nullptr);
  ASSERT_TRUE(item.hasUserDescription);
  EXPECT_EQ(item.userDescription.vt, VT_EMPTY);
  EXPECT_EQ(item.userDescription.form, VariantValue::Form::Text);
}

TEST(ItemStreamDecoder, EveryFieldReadsAtItsPlace) {
  Bytes b = FullItem().Build();
  const Bytes ab = {0x06, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00};
  ASSERT_TRUE(std::equal(ab.begin(), ab.end(), b.begin() + 4)) << "location \"ab\" is not where it belongs";
  ItemRecord item;
  ASSERT_TRUE(Decode(b, &item));
  EXPECT_EQ(item.location, u"ab");
  EXPECT_EQ(item.provider, u"Provider");
  EXPECT_EQ(item.messageText, u"Pump %1 stopped");
  EXPECT_EQ(item.userName, u"DOMAIN\\op");
  EXPECT_EQ(item.helpFile, u"help.chm");
  EXPECT_EQ(item.dateTime, 45321.25);
  EXPECT_EQ(std::vector<int64_t>({item.severity, item.audience, item.verbosity, item.helpContext, item.messageId}),
            std::vector<int64_t>({2, 9, 3, 77, 1001}));
  ASSERT_EQ(item.arguments.size(), 2u);
  EXPECT_EQ(item.arguments[1].text, u"P-7");
  ASSERT_EQ(item.extended.size(), 1u);
  EXPECT_EQ(item.extended[0].name, u"COUNT");
  EXPECT_EQ(item.extended[0].declaredType, VT_UI1);
  EXPECT_EQ(item.extended[0].value.fixedBits, 7u);
  ASSERT_TRUE(item.hasUserDescription);
  EXPECT_EQ(item.userDescription.text, u"operator note");
  // Negative and odd values are kept as they came.
  ItemBytes odd;
  odd.severity = -1;
  odd.audience = int32_t(0x80000000);
  ASSERT_TRUE(Decode(odd.Build(), &item));
  EXPECT_EQ(item.severity, -1);
  EXPECT_EQ(item.audience, int32_t(0x80000000));
}

TEST(ItemStreamDecoder, VariantValuesOfEveryForm) {
  double r8 = 2.5;
  uint64_t r8bits;
  std::memcpy(&r8bits, &r8, 8);
  struct Fixed {
    uint16_t vt;
    Bytes data;
    uint64_t bits;
  } fixed[] = {{VT_I4, Le32(5), 5},          {VT_I1, {0xFF}, 0xFF},           {VT_UI1, {0x80}, 0x80},
               {VT_I2, {0x34, 0x12}, 0x1234}, {VT_BOOL, {0xFF, 0xFF}, 0xFFFF}, {VT_R8, Le64(r8bits), r8bits},
               {VT_I8, Le64(0x0102030405060708ull), 0x0102030405060708ull}};
  ItemBytes item;
  for (const Fixed& f : fixed) item.arguments.push_back(Variant(f.vt, f.data));
  item.arguments.push_back(Variant(VT_BSTR, Counted(std::u16string(u"a\0b", 3))));  // embedded zero kept
  item.arguments.push_back(Variant(VT_BSTR, Le32(0)));                               // null string
  item.arguments.push_back(Variant(VT_DECIMAL, Counted(u"1.5")));                    // travels as text
  item.arguments.push_back(Variant(VT_UNKNOWN, Bytes(16, 0)));                       // null object
  item.arguments.push_back(Variant(VT_DISPATCH, Bytes(16, 0)));
  ItemRecord r;
  ASSERT_TRUE(Decode(item.Build(), &r));
  ASSERT_EQ(r.arguments.size(), 12u);
  for (size_t i = 0; i < std::size(fixed); ++i) {
    EXPECT_EQ(r.arguments[i].vt, fixed[i].vt) << i;
    EXPECT_EQ(r.arguments[i].form, VariantValue::Form::Fixed) << i;
    EXPECT_EQ(r.arguments[i].fixedSize, fixed[i].data.size()) << i;
    EXPECT_EQ(r.arguments[i].fixedBits, fixed[i].bits) << i;
  }
  EXPECT_EQ(r.arguments[7].text, std::u16string(u"a\0b", 3));
  EXPECT_TRUE(r.arguments[8].nullText);
  EXPECT_EQ(r.arguments[9].vt, VT_DECIMAL);
  EXPECT_EQ(r.arguments[9].text, u"1.5");
  EXPECT_EQ(r.arguments[10].form, VariantValue::Form::NullObject);
  EXPECT_EQ(r.arguments[11].form, VariantValue::Form::NullObject);
}

TEST(ItemStreamDecoder, ChildBlocksOfEitherVersionNestToTheLimitAndTheirFillerIsSkipped) {
  ItemBytes grandchild;
  grandchild.location = u"grandchild";
  grandchild.version = 1;
  ItemBytes child;
  child.location = u"child";
  child.child = grandchild.Build();
  ItemBytes parent;
  parent.child = child.Build();
  parent.childFiller = 6;
  parent.extended = {Concat({Counted(u"after"), Le32(VT_I4), Variant(VT_I4, Le32(9))})};
  ItemRecord r;
  ASSERT_TRUE(Decode(parent.Build(), &r));
  EXPECT_EQ(r.childBlockSize, child.Build().size() + 6);
  ASSERT_TRUE(r.child && r.child->child);
  EXPECT_EQ(r.child->location, u"child");
  EXPECT_EQ(r.child->child->location, u"grandchild");
  EXPECT_EQ(r.child->child->version, 1u);
  EXPECT_FALSE(r.child->child->hasUserDescription) << "version 1 has no user description";
  ASSERT_EQ(r.extended.size(), 1u) << "the filler was not skipped";
  EXPECT_EQ(r.extended[0].name, u"after");

  auto chain = [](int depth) {
    Bytes b = ItemBytes().Build();
    for (int i = 0; i < depth; ++i) {
      ItemBytes p;
      p.child = b;
      b = p.Build();
    }
    return b;
  };
  EXPECT_TRUE(Decode(chain(ItemStreamDecoder::kMaxChildDepth), &r));
  EXPECT_TRUE(Refused(chain(ItemStreamDecoder::kMaxChildDepth + 1)));
}

TEST(ItemStreamDecoder, DamagedStreamsAreRefused) {
  const Bytes full = FullItem().Build();
  for (size_t n = 0; n < full.size(); ++n)
    EXPECT_TRUE(Refused(Bytes(full.begin(), full.begin() + std::ptrdiff_t(n)))) << "cut to " << n << " bytes";
  const Bytes empty = ItemBytes().Build();
  ItemBytes v1;
  v1.version = 1;
  ItemBytes cutChild = FullItem();  // a child that does not fit its block, though the bytes after would complete it
  cutChild.child.resize(cutChild.child.size() - 3);
  cutChild.childFiller = 0;
  ItemBytes badType;  // a declared type's upper 16 bits must be 0
  badType.extended = {Concat({Counted(u"COUNT"), {0x11, 0x00, 0x01, 0x00}, {0x11, 0x00, 0x07}})};
  ItemBytes object;  // an object with a class: its data has no length
  object.arguments = {Variant(VT_UNKNOWN, Concat({{1}, Bytes(23, 0)}))};
  ItemBytes ab;
  ab.location = u"ab";
  Bytes unterminated = ab.Build();
  unterminated[12] = 'x';
  Bytes oddCount = empty;
  oddCount[4] = 3;
  const std::pair<const char*, Bytes> cases[] = {
      {"a trailing byte", Concat({full, {0}})},
      {"version 2 without its user description", Patched(v1.Build(), 0, 2)},
      {"version 1 with a user description", Patched(empty, 0, 1)},
      {"version 0", Patched(empty, 0, 0)},
      {"version 3", Patched(empty, 0, 3)},
      {"version 255", Patched(empty, 0, 255)},
      {"cut child", cutChild.Build()},
      {"child block larger than the stream", Patched(empty, -16, 1000)},
      {"declared type", badType.Build()},
      {"extended parameter count", Patched(empty, -12, 0xFFFFFFFF)},
      {"argument count", Patched(empty, -20, 0xFFFFFFFF)},
      {"object of a class", object.Build()},
      {"odd string count", oddCount},
      {"unterminated string", unterminated},
      {"huge string count", Patched(empty, 4, 0x7FFFFFFE)},
  };
  for (const auto& [what, bytes] : cases) EXPECT_TRUE(Refused(bytes)) << what;
}
