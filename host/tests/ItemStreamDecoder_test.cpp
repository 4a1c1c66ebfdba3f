// Item streams as the library writes them, built byte by byte, and the ways
// a damaged or hostile one must be refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "item/ItemStreamDecoder.h"
#include "support/ItemBytes.h"

using namespace hv::host;
using namespace hvtest;

namespace {

bool Decode(const Bytes& b, ItemRecord* item, std::string* error) {
  return ItemStreamDecoder::Decode(b.data(), b.size(), item, error);
}

bool Refused(const Bytes& b, std::string* error = nullptr) {
  ItemRecord item;
  std::string why;
  bool ok = Decode(b, &item, &why);
  if (error) *error = why;
  return !ok && !why.empty();
}

// Location "ab", one argument VT_I4 5, a child, two extended parameters, a
// text user description: every part of the format at once.
Bytes FullItem() {
  ItemBytes child;
  child.location = u"child";
  child.severity = 1;
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
  item.extended = {Concat({Counted(u"COUNT"), Le32(VT_UI1), Variant(VT_UI1, {7})}),
                   Concat({Counted(u"Line"), Le32(VT_BSTR), Variant(VT_BSTR, Counted(u"L2"))})};
  item.userDescription = Variant(VT_BSTR, Counted(u"operator note"));
  return item.Build();
}

}  // namespace

TEST(ItemStreamDecoder, EmptyItemIs98BytesAndReadsBack) {
  const Bytes empty = Concat({
      {0x02, 0x00, 0x00, 0x00},
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00},
      Bytes(8, 0),                      // datetime
      Bytes(16, 0),                     // severity, audience, verbosity, help context
      Bytes(16, 0),                     // error guid
      {0xFF, 0xFF, 0xFF, 0xFF},         // message id -1: the message is text
      Bytes(12, 0),                     // no arguments, no child, no extended parameters
      {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00},  // VT_EMPTY user description
  });
  ASSERT_EQ(empty.size(), 98u);
  ASSERT_EQ(ItemBytes().Build(), empty) << "the test's own builder disagrees with the hand-written bytes";

  ItemRecord item;
  std::string error;
  ASSERT_TRUE(Decode(empty, &item, &error)) << error;
  EXPECT_EQ(item.version, 2u);
  EXPECT_EQ(item.location, u"");
  EXPECT_EQ(item.messageText, u"");
  EXPECT_EQ(item.messageId, -1);
  EXPECT_TRUE(item.arguments.empty());
  EXPECT_EQ(item.child, nullptr);
  EXPECT_TRUE(item.extended.empty());
  ASSERT_TRUE(item.hasUserDescription);
  EXPECT_EQ(item.userDescription.vt, VT_EMPTY);
  EXPECT_EQ(item.userDescription.form, VariantValue::Form::Text);
  EXPECT_FALSE(item.userDescription.nullText);
}

TEST(ItemStreamDecoder, StringsAndFixedFieldsReadAtTheirPlaces) {
  Bytes b = FullItem();
  const Bytes ab = {0x06, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00};
  ASSERT_TRUE(std::equal(ab.begin(), ab.end(), b.begin() + 4)) << "location \"ab\" is not where it belongs";
  ItemRecord item;
  std::string error;
  ASSERT_TRUE(Decode(b, &item, &error)) << error;
  EXPECT_EQ(item.location, u"ab");
  EXPECT_EQ(item.provider, u"Provider");
  EXPECT_EQ(item.messageText, u"Pump %1 stopped");
  EXPECT_EQ(item.userName, u"DOMAIN\\op");
  EXPECT_EQ(item.helpFile, u"help.chm");
  EXPECT_EQ(item.dateTime, 45321.25);
  EXPECT_EQ(item.severity, 2);
  EXPECT_EQ(item.audience, 9);
  EXPECT_EQ(item.verbosity, 3);
  EXPECT_EQ(item.helpContext, 77u);
  EXPECT_EQ(item.messageId, 1001);
  ASSERT_EQ(item.arguments.size(), 2u);
  EXPECT_EQ(item.arguments[1].text, u"P-7");
  ASSERT_TRUE(item.hasUserDescription);
  EXPECT_EQ(item.userDescription.vt, VT_BSTR);
  EXPECT_EQ(item.userDescription.text, u"operator note");

  // Negative and odd values are kept as they came; the stream form does not
  // judge content.
  ItemBytes odd;
  odd.severity = -1;
  odd.audience = int32_t(0x80000000);
  odd.messageId = 0;
  ASSERT_TRUE(Decode(odd.Build(), &item, &error)) << error;
  EXPECT_EQ(item.severity, -1);
  EXPECT_EQ(item.audience, int32_t(0x80000000));
  EXPECT_EQ(item.messageId, 0);
}

TEST(ItemStreamDecoder, VariantValuesOfEveryForm) {
  double r8 = 2.5;
  uint64_t r8bits;
  std::memcpy(&r8bits, &r8, 8);
  ItemBytes item;
  item.arguments = {
      {0x03, 0x00, 0x05, 0x00, 0x00, 0x00},  // VT_I4 5, as the library writes it
      Variant(VT_I1, {0xFF}),
      Variant(VT_UI1, {0x80}),
      Variant(VT_I2, {0x34, 0x12}),
      Variant(VT_BOOL, {0xFF, 0xFF}),
      Variant(VT_R8, Le64(r8bits)),
      Variant(VT_I8, Le64(0x0102030405060708ull)),
      Variant(VT_BSTR, Counted(std::u16string(u"a\0b", 3))),  // embedded zero kept
      Variant(VT_BSTR, Le32(0)),                                // null string
      Variant(VT_DECIMAL, Counted(u"1.5")),                     // travels as text
      Variant(VT_UNKNOWN, Bytes(16, 0)),                        // null object
      Variant(VT_DISPATCH, Bytes(16, 0)),
  };
  ItemRecord r;
  std::string error;
  ASSERT_TRUE(Decode(item.Build(), &r, &error)) << error;
  ASSERT_EQ(r.arguments.size(), 12u);
  auto fixed = [&](size_t i, uint16_t vt, uint8_t size, uint64_t bits) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r.arguments[i].vt, vt);
    EXPECT_EQ(r.arguments[i].form, VariantValue::Form::Fixed);
    EXPECT_EQ(r.arguments[i].fixedSize, size);
    EXPECT_EQ(r.arguments[i].fixedBits, bits);
  };
  fixed(0, VT_I4, 4, 5);
  fixed(1, VT_I1, 1, 0xFF);
  fixed(2, VT_UI1, 1, 0x80);
  fixed(3, VT_I2, 2, 0x1234);
  fixed(4, VT_BOOL, 2, 0xFFFF);
  fixed(5, VT_R8, 8, r8bits);
  fixed(6, VT_I8, 8, 0x0102030405060708ull);
  EXPECT_EQ(r.arguments[7].text, std::u16string(u"a\0b", 3));
  EXPECT_TRUE(r.arguments[8].nullText);
  EXPECT_EQ(r.arguments[9].vt, VT_DECIMAL);
  EXPECT_EQ(r.arguments[9].text, u"1.5");
  EXPECT_EQ(r.arguments[10].form, VariantValue::Form::NullObject);
  EXPECT_EQ(r.arguments[11].form, VariantValue::Form::NullObject);

  // An object with a class: its data has no length, so it cannot be read.
  Bytes clsid(16, 0);
  clsid[0] = 1;
  item.arguments = {Variant(VT_UNKNOWN, Concat({clsid, Bytes(8, 0)}))};
  EXPECT_TRUE(Refused(item.Build(), &error));
  EXPECT_NE(error.find("object of class"), std::string::npos) << error;
}

TEST(ItemStreamDecoder, ExtendedParametersKeepNameTypeAndValue) {
  ItemBytes item;
  item.extended = {Concat({Counted(u"COUNT"), {0x11, 0x00, 0x00, 0x00}, {0x11, 0x00, 0x07}})};
  ItemRecord r;
  std::string error;
  ASSERT_TRUE(Decode(item.Build(), &r, &error)) << error;
  ASSERT_EQ(r.extended.size(), 1u);
  EXPECT_EQ(r.extended[0].name, u"COUNT");
  EXPECT_EQ(r.extended[0].declaredType, VT_UI1);
  EXPECT_EQ(r.extended[0].value.vt, VT_UI1);
  EXPECT_EQ(r.extended[0].value.fixedBits, 7u);

  // The declared type is a 16-bit code in 32 bits; the upper half must be 0.
  item.extended = {Concat({Counted(u"COUNT"), {0x11, 0x00, 0x01, 0x00}, {0x11, 0x00, 0x07}})};
  EXPECT_TRUE(Refused(item.Build()));
  // A count of entries the remaining bytes cannot hold is refused before
  // anything is allocated for it.
  Bytes huge = ItemBytes().Build();
  Bytes count = Le32(0xFFFFFFFF);
  std::copy(count.begin(), count.end(), huge.end() - 12);
  EXPECT_TRUE(Refused(huge, &error));
  EXPECT_NE(error.find("extended parameter count"), std::string::npos) << error;
}

TEST(ItemStreamDecoder, ChildBlocksNestAndTheirFillerIsSkipped) {
  ItemBytes grandchild;
  grandchild.location = u"grandchild";
  grandchild.version = 1;
  ItemBytes child;
  child.location = u"child";
  child.child = grandchild.Build();
  ItemBytes parent;
  parent.location = u"parent";
  parent.child = child.Build();
  parent.childFiller = 6;
  parent.extended = {Concat({Counted(u"after"), Le32(VT_I4), Variant(VT_I4, Le32(9))})};

  ItemRecord r;
  std::string error;
  ASSERT_TRUE(Decode(parent.Build(), &r, &error)) << error;
  EXPECT_EQ(r.childBlockSize, child.Build().size() + 6);
  ASSERT_NE(r.child, nullptr);
  EXPECT_EQ(r.child->location, u"child");
  ASSERT_NE(r.child->child, nullptr);
  EXPECT_EQ(r.child->child->location, u"grandchild");
  EXPECT_FALSE(r.child->child->hasUserDescription);
  ASSERT_EQ(r.extended.size(), 1u) << "the filler was not skipped";
  EXPECT_EQ(r.extended[0].name, u"after");

  // A child that does not fit its block is refused even though the bytes
  // after the block would complete it.
  ItemBytes cut = parent;
  cut.child = child.Build();
  cut.child.resize(cut.child.size() - 3);
  cut.childFiller = 0;
  EXPECT_TRUE(Refused(cut.Build()));

  // A block larger than the rest of the stream.
  Bytes b = ItemBytes().Build();
  Bytes size = Le32(1000);
  std::copy(size.begin(), size.end(), b.end() - 16);
  EXPECT_TRUE(Refused(b, &error));
  EXPECT_NE(error.find("child block claims 1000 bytes"), std::string::npos) << error;
}

TEST(ItemStreamDecoder, ChildChainsDeeperThanTheLimitAreRefused) {
  auto chain = [](int depth) {
    ItemBytes leaf;
    Bytes b = leaf.Build();
    for (int i = 0; i < depth; ++i) {
      ItemBytes parent;
      parent.child = b;
      b = parent.Build();
    }
    return b;
  };
  ItemRecord r;
  std::string error;
  EXPECT_TRUE(Decode(chain(ItemStreamDecoder::kMaxChildDepth), &r, &error)) << error;
  EXPECT_TRUE(Refused(chain(ItemStreamDecoder::kMaxChildDepth + 1), &error));
  EXPECT_NE(error.find("deeper"), std::string::npos) << error;
}

TEST(ItemStreamDecoder, VersionOneHasNoUserDescriptionAndOtherVersionsAreRefused) {
  ItemBytes v1;
  v1.version = 1;
  v1.location = u"old";
  Bytes b = v1.Build();
  EXPECT_EQ(b.size(), 90u + 6u);  // the empty item without its user description, and "old"
  ItemRecord r;
  std::string error;
  ASSERT_TRUE(Decode(b, &r, &error)) << error;
  EXPECT_EQ(r.version, 1u);
  EXPECT_FALSE(r.hasUserDescription);
  EXPECT_EQ(r.location, u"old");

  // The same stream labelled 2 lacks its user description: truncated.
  Bytes relabelled = b;
  relabelled[0] = 2;
  EXPECT_TRUE(Refused(relabelled));
  // A version 2 stream labelled 1 leaves the user description over.
  Bytes v2 = ItemBytes().Build();
  v2[0] = 1;
  EXPECT_TRUE(Refused(v2, &error));
  EXPECT_NE(error.find("8 bytes follow"), std::string::npos) << error;
  for (uint8_t version : {0, 3, 0xFF}) {
    Bytes other = ItemBytes().Build();
    other[0] = version;
    EXPECT_TRUE(Refused(other)) << "version " << int(version);
  }
}

TEST(ItemStreamDecoder, EveryTruncationAndTrailingByteIsRefused) {
  const Bytes full = FullItem();
  ItemRecord r;
  std::string error;
  ASSERT_TRUE(Decode(full, &r, &error)) << error;
  for (size_t n = 0; n < full.size(); ++n) {
    Bytes cut(full.begin(), full.begin() + std::ptrdiff_t(n));
    EXPECT_TRUE(Refused(cut)) << "a stream cut to " << n << " of " << full.size() << " bytes was accepted";
  }
  Bytes longer = full;
  longer.push_back(0);
  EXPECT_TRUE(Refused(longer));
}

TEST(ItemStreamDecoder, MalformedStringsAreRefusedWithTheirPlace) {
  std::string error;
  Bytes b = ItemBytes().Build();
  b[4] = 3;  // location count odd
  EXPECT_TRUE(Refused(b, &error));
  EXPECT_NE(error.find("odd byte count 3"), std::string::npos) << error;
  EXPECT_NE(error.find("at byte 8"), std::string::npos) << error;

  ItemBytes item;
  item.location = u"ab";
  b = item.Build();
  b[12] = 'x';  // the terminating zero unit of "ab"
  EXPECT_TRUE(Refused(b, &error));
  EXPECT_NE(error.find("not terminated"), std::string::npos) << error;

  b = ItemBytes().Build();
  Bytes count = Le32(0x7FFFFFFE);
  std::copy(count.begin(), count.end(), b.begin() + 4);
  EXPECT_TRUE(Refused(b, &error));
  EXPECT_NE(error.find("claims 2147483646 bytes"), std::string::npos) << error;

  // An argument count far beyond the stream's size.
  b = ItemBytes().Build();
  count = Le32(0xFFFFFFFF);
  std::copy(count.begin(), count.end(), b.end() - 20);
  EXPECT_TRUE(Refused(b, &error));
  EXPECT_NE(error.find("argument count"), std::string::npos) << error;
}
