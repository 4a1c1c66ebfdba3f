// What the service reads and writes, byte by byte: frames, messages, Hello, Error, the adaptor record, item
// streams, the configuration file and filter documents, each with the damaged forms that must be refused.
#include <gtest/gtest.h>

#include <cmath>

#include "core/ConfigFile.h"
#include "core/Decimal.h"
#include "core/HResult.h"
#include "core/OleDate.h"
#include "core/TransportAddress.h"
#include "core/Utf.h"
#include "item/ItemStreamDecoder.h"
#include "protocol/AdaptorInfoRecord.h"
#include "protocol/ErrorPayload.h"
#include "protocol/Hello.h"
#include "store/Filter.h"
#include "support/Support.h"

using namespace hv::host;
using namespace hvtest;
using hv::ByteWriter;
using Form = VariantValue::Form;

namespace {

template <typename T>
Bytes Written(const T& value) {
  Bytes out;
  ByteWriter w(&out);
  value.Write(w);
  return out;
}

bool Decodes(const Bytes& b, MuxMessage* m = nullptr) {
  MuxMessage scratch;
  std::string why;
  return MuxMessage::Decode(b.data(), b.size(), m ? m : &scratch, &why);
}

// A message of one field NAME = VALUE and nothing else.
Bytes WithField(const std::string& name, const std::string& value) {
  return Concat({{0x01, 0x00, uint8_t(name.size())}, Bytes(name.begin(), name.end()),
                 {uint8_t(value.size()), uint8_t(value.size() >> 8)}, Bytes(value.begin(), value.end()), Bytes(12, 0)});
}

bool DecodeItem(const Bytes& b, ItemRecord* item) {
  std::string error;
  bool ok = ItemStreamDecoder::Decode(b.data(), b.size(), item, &error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

bool ItemRefused(const Bytes& b) {
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

// Every part of the item format at once, in the stream's order: version, the five strings, time, severity,
// audience, verbosity, help context, error guid, message id, arguments, a child with filler, extended parameters
// and a text user description.
ItemBytes FullItem() {
  ItemBytes child;
  child.location = u"child";
  return {2, u"ab", u"Provider", u"Pump %1 stopped", u"DOMAIN\\op", u"help.chm", 45321.25, 2, 9, 3, 77, {}, 1001,
          {Variant(VT_I4, Le32(5)), Variant(VT_BSTR, Counted(u"P-7"))}, child.Build(), 4,
          {Concat({Counted(u"COUNT"), {0x11, 0x00, 0x00, 0x00}, {0x11, 0x00, 0x07}})},
          Variant(VT_BSTR, Counted(u"operator note"))};
}

Filter Parsed(std::string_view text) {
  Filter f;
  std::string error;
  EXPECT_TRUE(Filter::Parse(text, &f, &error)) << text << "\n" << error;
  return f;
}

std::string FilterRefused(std::string_view text) {
  Filter f;
  std::string error;
  EXPECT_FALSE(Filter::Parse(text, &f, &error)) << text;
  return error;
}

constexpr double kMarch15 = 45000.0;  // 2023-03-15T00:00:00Z as an OLE date
constexpr double kMillisecond = 1.0 / 86400000.0;
const std::string kStore = "[adaptor]\nkind = store\nname = S\nclsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n";
const std::string kForwarder =
    "database = x.db\n[adaptor]\nkind = forwarder\nname = F\nclsid = {ED34F366-7CA7-4E2D-824E-7213D595AFB2}\n";

}  // namespace

TEST(FrameCodec, MessagesHaveTheirExactLayoutAndEveryOtherLengthIsRefused) {
  EXPECT_EQ(FrameCodec::Encode(FrameKind::Post, 7, Bytes{0xAA, 0xBB}),
            (Bytes{0x0A, 0, 0, 0, 0x03, 0x00, 0x00, 0x00, 0x07, 0, 0, 0, 0xAA, 0xBB}));
  MuxMessage m;
  m.SetField("MSGTYPE", "2");
  m.SetField("transid", "-5");
  m.text = u"ab";
  m.data = {1, 2};
  m.body = {9};
  const Bytes expected = {
      0x02, 0x00,                                        // two fields
      0x07, 'M', 'S', 'G', 'T', 'Y', 'P', 'E', 0x01, 0x00, '2',
      0x07, 't', 'r', 'a', 'n', 's', 'i', 'd', 0x02, 0x00, '-', '5',
      0x02, 0x00, 0x00, 0x00, 'a', 0x00, 'b', 0x00,      // text, 2 code units
      0x02, 0x00, 0x00, 0x00, 0x01, 0x02,                // data
      0x01, 0x00, 0x00, 0x00, 0x09,                      // body
  };
  EXPECT_EQ(Written(m), expected);
  MuxMessage back;
  ASSERT_TRUE(Decodes(expected, &back));
  EXPECT_EQ(back.fields(), m.fields());
  EXPECT_TRUE(back.text == u"ab" && back.data == m.data && back.body == m.body);
  EXPECT_EQ(back.Field("TRANSID"), nullptr) << "field names compare exactly";
  EXPECT_TRUE(Decodes(Bytes(14, 0), &back) && back.fields().empty()) << "the smallest message";
  for (size_t n = 0; n < expected.size(); ++n)
    EXPECT_FALSE(Decodes(Bytes(expected.begin(), expected.begin() + std::ptrdiff_t(n)))) << "cut to " << n;
  EXPECT_FALSE(Decodes(Concat({expected, {0}})));

  EXPECT_TRUE(Decodes(WithField(std::string(64, 'N'), std::string(1024, 'v'))));
  const Bytes refused[] = {
      WithField(std::string(65, 'N'), "v"), WithField("", "v"), WithField("has space", "v"),
      WithField("caf\xC3\xA9", "v"), WithField("N", std::string(1025, 'v')), WithField("N", std::string("a\0b", 3)),
      Concat({{0x02, 0x00, 0x01, 'A', 0x00, 0x00, 0x01, 'A', 0x00, 0x00}, Bytes(12, 0)}),  // a name twice
      Bytes{65, 0x00},  // more fields than allowed
      // Lengths of text, data and body that point past the payload.
      Bytes{0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0}, Bytes{0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0},
      Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}};
  for (size_t i = 0; i < std::size(refused); ++i) EXPECT_FALSE(Decodes(refused[i])) << "case " << i;
}

TEST(FrameCodec, ReaderCutsFramesFromAnyPiecesAndStopsAtBadLengths) {
  Bytes stream;
  std::vector<Bytes> payloads = {{}, {1, 2, 3}, Bytes(70000, 0x5A)};
  for (size_t i = 0; i < payloads.size(); ++i)
    stream = Concat({stream, FrameCodec::Encode(FrameKind::Transact, uint32_t(100 + i), payloads[i])});
  for (size_t piece : {size_t(1), size_t(5), size_t(4096), stream.size()}) {
    FrameReader reader;
    std::vector<Frame> got;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.Append(stream.data() + at, std::min(piece, stream.size() - at));
      Frame f;
      std::string error;
      FrameReader::Status s;
      while ((s = reader.Next(&f, &error)) == FrameReader::Status::HaveFrame) got.push_back(f);
      ASSERT_EQ(s, FrameReader::Status::NeedMore) << error;
    }
    ASSERT_EQ(got.size(), payloads.size()) << "pieces of " << piece;
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_TRUE(got[i].kind == FrameKind::Transact && got[i].id == 100 + i && got[i].payload == payloads[i]);
    EXPECT_EQ(reader.Pending(), 0u);
  }

  using S = FrameReader::Status;
  const std::pair<uint32_t, S> lengths[] = {{7, S::Broken}, {0, S::Broken}, {8, S::HaveFrame},
                                            {8 + FrameCodec::kMaxPayload, S::NeedMore},
                                            {9 + FrameCodec::kMaxPayload, S::Broken}, {0xFFFFFFFF, S::Broken}};
  for (auto [length, status] : lengths) {
    FrameReader reader;
    Bytes header = Concat({Le32(length), {3, 0, 0, 0, 1, 0, 0, 0}});
    reader.Append(header.data(), header.size());
    Frame f;
    std::string error;
    EXPECT_EQ(reader.Next(&f, &error), status) << "length " << length;
    if (status != S::Broken) continue;
    // Once broken, good bytes after the bad length do not bring it back.
    Bytes good = FrameCodec::Encode(FrameKind::Post, 1, Bytes{});
    reader.Append(good.data(), good.size());
    EXPECT_EQ(reader.Next(&f, &error), S::Broken);
  }
}

TEST(FrameCodec, HelloErrorAndAdaptorRecordLayouts) {
  Bytes hello = Written(Hello{1, 3});
  EXPECT_EQ(hello, (Bytes{'H', 'V', 'M', 'X', 1, 0, 3, 0}));
  Hello h;
  EXPECT_TRUE(Hello::Decode(hello.data(), hello.size(), &h) && h.highest == 3);
  for (const Bytes& bad : {Bytes{'h', 'V', 'M', 'X', 1, 0, 3, 0}, Bytes{'H', 'V', 'M', 'X', 3, 0, 1, 0},
                           Bytes(hello.begin(), hello.end() - 1), Concat({hello, {0}})})
    EXPECT_FALSE(Hello::Decode(bad.data(), bad.size(), &h));
  EXPECT_EQ(Written(HelloReply{1, FrameCodec::kMaxPayload}), (Bytes{'H', 'V', 'M', 'X', 1, 0, 0, 0, 0, 0, 0x40, 0}));

  EXPECT_EQ(Written(ErrorPayload{E_FAIL, "no"}), (Bytes{0x05, 0x40, 0x00, 0x80, 2, 0, 'n', 'o'}));
  // A long text is cut at 1024 bytes, never inside a character.
  Bytes cut = Written(ErrorPayload{E_FAIL, std::string(1023, 'x') + "\xC3\xA9" + "tail"});
  ErrorPayload back;
  ASSERT_TRUE(ErrorPayload::Decode(cut.data(), cut.size(), &back));
  EXPECT_EQ(back.text, std::string(1023, 'x'));

  AdaptorInfoRecord r;
  r.audienceMask = 0xF;
  r.severityMask = 0x7;
  r.enableFlags = {1, 2, 4, 8};
  r.name = u"Store";
  EXPECT_EQ(Written(r), Concat({{0xF, 0, 0, 0, 7, 0, 0, 0, 1, 2, 4, 8}, Utf16(u"Store"), Bytes(250, 0)}));
  // 129 characters and the NUL fill the name field; a longer name is cut.
  r.name = std::u16string(200, u'n');
  Bytes rec = Written(r);
  EXPECT_EQ(Bytes(rec.begin() + 12, rec.end()), Concat({Utf16(std::u16string(129, u'n')), {0, 0}}));
}

TEST(ItemStreamDecoder, EmptyItemIs98BytesAndEveryFieldReadsAtItsPlace) {
  // Version 2; five empty strings; datetime, severity, audience, verbosity, help context and error guid; message
  // id -1 (the message is text); no arguments, child or extended parameters; a VT_EMPTY user description.
  const Bytes empty = Concat({{2, 0, 0, 0}, {2, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0},
                              {2, 0, 0, 0, 0, 0}, Bytes(40, 0), {0xFF, 0xFF, 0xFF, 0xFF}, Bytes(12, 0),
                              {0, 0, 2, 0, 0, 0, 0, 0}});
  ASSERT_EQ(empty.size(), 98u);
  ASSERT_EQ(ItemBytes().Build(), empty) << "the test's own builder disagrees with the hand-written bytes";
  ItemRecord item;
  ASSERT_TRUE(DecodeItem(empty, &item));
  EXPECT_EQ(item.version, 2u);
  EXPECT_EQ(item.messageId, -1);
  EXPECT_TRUE(item.arguments.empty() && item.extended.empty() && item.child == nullptr);
  EXPECT_TRUE(item.hasUserDescription && item.userDescription.vt == VT_EMPTY &&
              item.userDescription.form == Form::Text);

  Bytes b = FullItem().Build();
  const Bytes ab = {0x06, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00};
  ASSERT_TRUE(std::equal(ab.begin(), ab.end(), b.begin() + 4)) << "location \"ab\" is not where it belongs";
  ASSERT_TRUE(DecodeItem(b, &item));
  EXPECT_EQ(item.location + u"|" + item.provider + u"|" + item.messageText + u"|" + item.userName + u"|" + item.helpFile,
            u"ab|Provider|Pump %1 stopped|DOMAIN\\op|help.chm");
  EXPECT_EQ(item.dateTime, 45321.25);
  EXPECT_EQ(std::vector<int64_t>({item.severity, item.audience, item.verbosity, item.helpContext, item.messageId}),
            std::vector<int64_t>({2, 9, 3, 77, 1001}));
  ASSERT_TRUE(item.arguments.size() == 2 && item.extended.size() == 1);
  const ExtendedParam& count = item.extended[0];
  EXPECT_TRUE(item.arguments[1].text == u"P-7" && count.name == u"COUNT" && count.declaredType == VT_UI1 &&
              count.value.fixedBits == 7u);
  EXPECT_TRUE(item.hasUserDescription && item.userDescription.text == u"operator note");
  // Negative and odd values are kept as they came.
  ItemBytes odd;
  odd.severity = -1;
  odd.audience = int32_t(0x80000000);
  ASSERT_TRUE(DecodeItem(odd.Build(), &item));
  EXPECT_TRUE(item.severity == -1 && item.audience == int32_t(0x80000000));
}

TEST(ItemStreamDecoder, VariantValuesOfEveryForm) {
  const uint64_t r8 = 0x4004000000000000ull;  // 2.5
  const std::tuple<uint16_t, Bytes, uint64_t> fixed[] = {
      {VT_I4, Le32(5), 5},           {VT_I1, {0xFF}, 0xFF},           {VT_UI1, {0x80}, 0x80},
      {VT_I2, {0x34, 0x12}, 0x1234}, {VT_BOOL, {0xFF, 0xFF}, 0xFFFF}, {VT_R8, Le64(r8), r8},
      {VT_I8, Le64(0x0102030405060708ull), 0x0102030405060708ull}};
  ItemBytes item;
  for (const auto& [vt, data, bits] : fixed) item.arguments.push_back(Variant(vt, data));
  item.arguments.push_back(Variant(VT_BSTR, Counted(std::u16string(u"a\0b", 3))));  // embedded zero kept
  item.arguments.push_back(Variant(VT_BSTR, Le32(0)));                               // null string
  item.arguments.push_back(Variant(VT_DECIMAL, Counted(u"1.5")));                    // travels as text
  item.arguments.push_back(Variant(VT_UNKNOWN, Bytes(16, 0)));                       // null object
  item.arguments.push_back(Variant(VT_DISPATCH, Bytes(16, 0)));
  ItemRecord r;
  ASSERT_TRUE(DecodeItem(item.Build(), &r));
  ASSERT_EQ(r.arguments.size(), 12u);
  for (size_t i = 0; i < std::size(fixed); ++i) {
    const auto& [vt, data, bits] = fixed[i];
    const VariantValue& v = r.arguments[i];
    EXPECT_TRUE(v.vt == vt && v.form == Form::Fixed && v.fixedSize == data.size() && v.fixedBits == bits) << i;
  }
  EXPECT_EQ(r.arguments[7].text, std::u16string(u"a\0b", 3));
  EXPECT_TRUE(r.arguments[8].nullText);
  EXPECT_TRUE(r.arguments[9].vt == VT_DECIMAL && r.arguments[9].text == u"1.5");
  EXPECT_TRUE(r.arguments[10].form == Form::NullObject && r.arguments[11].form == Form::NullObject);
}

TEST(ItemStreamDecoder, ChildBlocksOfEitherVersionNestToTheLimitAndTheirFillerIsSkipped) {
  ItemBytes grandchild, child, parent;
  grandchild.location = u"grandchild";
  grandchild.version = 1;
  child.location = u"child";
  child.child = grandchild.Build();
  parent.child = child.Build();
  parent.childFiller = 6;
  parent.extended = {Concat({Counted(u"after"), Le32(VT_I4), Variant(VT_I4, Le32(9))})};
  ItemRecord r;
  ASSERT_TRUE(DecodeItem(parent.Build(), &r));
  EXPECT_EQ(r.childBlockSize, child.Build().size() + 6);
  ASSERT_TRUE(r.child && r.child->child);
  EXPECT_TRUE(r.child->location == u"child" && r.child->child->location == u"grandchild" &&
              r.child->child->version == 1u);
  EXPECT_FALSE(r.child->child->hasUserDescription) << "version 1 has no user description";
  ASSERT_EQ(r.extended.size(), 1u) << "the filler was not skipped";
  EXPECT_EQ(r.extended[0].name, u"after");

  auto chain = [](int depth) {  // an item whose children nest `depth` levels deep
    ItemBytes p;
    for (int i = 0; i < depth; ++i) p.child = p.Build();
    return p.Build();
  };
  EXPECT_TRUE(DecodeItem(chain(ItemStreamDecoder::kMaxChildDepth), &r));
  EXPECT_TRUE(ItemRefused(chain(ItemStreamDecoder::kMaxChildDepth + 1)));
}

TEST(ItemStreamDecoder, DamagedStreamsAreRefused) {
  const Bytes full = FullItem().Build();
  for (size_t n = 0; n < full.size(); ++n)
    EXPECT_TRUE(ItemRefused(Bytes(full.begin(), full.begin() + std::ptrdiff_t(n)))) << "cut to " << n << " bytes";
  const Bytes empty = ItemBytes().Build();
  ItemBytes cutChild = FullItem();  // a child that does not fit its block, though the bytes after would complete it
  cutChild.child.resize(cutChild.child.size() - 3);
  cutChild.childFiller = 0;
  ItemBytes badType;  // a declared type's upper 16 bits must be 0
  badType.extended = {Concat({Counted(u"COUNT"), {0x11, 0x00, 0x01, 0x00}, {0x11, 0x00, 0x07}})};
  ItemBytes object;  // an object with a class: its data has no length
  object.arguments = {Variant(VT_UNKNOWN, Concat({{1}, Bytes(23, 0)}))};
  Bytes unterminated = full;  // the location "ab"'s terminator
  unterminated[12] = 'x';
  Bytes oddCount = empty;
  oddCount[4] = 3;
  const std::pair<const char*, Bytes> cases[] = {
      {"a trailing byte", Concat({full, {0}})},
      {"version 2 without its user description", Bytes(empty.begin(), empty.end() - 8)},
      {"version 1 with a user description", Patched(empty, 0, 1)}, {"version 0", Patched(empty, 0, 0)},
      {"version 3", Patched(empty, 0, 3)}, {"version 255", Patched(empty, 0, 255)}, {"cut child", cutChild.Build()},
      {"child block larger than the stream", Patched(empty, -16, 1000)}, {"declared type", badType.Build()},
      {"extended parameter count", Patched(empty, -12, 0xFFFFFFFF)}, {"argument count", Patched(empty, -20, 0xFFFFFFFF)},
      {"object of a class", object.Build()}, {"odd string count", oddCount}, {"unterminated string", unterminated},
      {"huge string count", Patched(empty, 4, 0x7FFFFFFE)}};
  for (const auto& [what, bytes] : cases) EXPECT_TRUE(ItemRefused(bytes)) << what;
}

TEST(ConfigFile, ReadsEveryKeyAndResolvesRelativePaths) {
  const char* text = R"(
# tarnhost
listen = ip:127.0.0.1:61000
database = data/messages.db
log_file = /var/log/tarnhost.log
max_connections = 12

[adaptor]
kind = store
name = Werk 3 store
clsid = {1b67abec-0e98-4b4f-9a72-a366625f20d6}
enable.VELTRA = Error, Warning
enable.dev = 15
enable.eng = none
; Op left out: everything the adaptor handles

[adaptor]
kind = forwarder
name = Central syslog
clsid = {ED34F366-7CA7-4E2D-824E-7213D595AFB2}
audiences = VELTRA|Op
severities = Error+Audit
enable.op = audit
server = logs.example.net:6514
facility = DAEMON
app_name = plant-7
hostname = werk3
buffer_items = 500
reconnect_max_ms = 1000
max_message_bytes = 65536
)";
  HostSettings s;
  std::string error;
  ASSERT_TRUE(ConfigFile::Parse(text, "/etc/halvern", &s, &error)) << error;
  EXPECT_EQ(s.listen + "|" + s.database + "|" + s.logFile,
            "ip:127.0.0.1:61000|/etc/halvern/data/messages.db|/var/log/tarnhost.log");
  EXPECT_EQ(s.maxConnections, 12u);
  ASSERT_EQ(s.adaptors.size(), 2u);
  EXPECT_TRUE(s.adaptors[0].kind == AdaptorKind::Store && s.adaptors[0].name == "Werk 3 store" &&
              s.adaptors[0].clsid == ConfigFile::StoreAdaptorClsid());
  EXPECT_EQ(s.adaptors[0].enableFlags, (std::array<uint8_t, 4>{3, 15, 0, 15}));
  EXPECT_TRUE(s.adaptors[1].kind == AdaptorKind::Forwarder && s.adaptors[1].audienceMask == 9u &&
              s.adaptors[1].severityMask == 9u);
  // VELTRA left out on an adaptor that handles Error and Audit only.
  EXPECT_EQ(s.adaptors[1].enableFlags, (std::array<uint8_t, 4>{9, 0, 0, 8}));
  const ForwarderSettings& f = s.adaptors[1].forwarder;
  EXPECT_EQ(f.server + "|" + f.appName + "|" + f.hostname, "logs.example.net:6514|plant-7|werk3");
  EXPECT_EQ(std::vector<int64_t>({f.facility, int64_t(f.bufferItems), f.reconnectMaxMs, int64_t(f.maxMessageBytes)}),
            std::vector<int64_t>({3, 500, 1000, 65536}));

  ASSERT_TRUE(ConfigFile::Parse(kForwarder, "", &s, &error)) << error;
  const ForwarderSettings& defaults = s.adaptors.at(0).forwarder;
  EXPECT_TRUE(defaults.server == "127.0.0.1:514" && defaults.facility == 16 && defaults.bufferItems == 10000u);
  // Without a file: the store takes everything, the forwarder nothing.
  s = ConfigFile::Defaults();
  EXPECT_EQ(s.listen, "ip:127.0.0.1:60093");
  ASSERT_EQ(s.adaptors.size(), 2u);
  EXPECT_EQ(s.adaptors[0].enableFlags, (std::array<uint8_t, 4>{15, 15, 15, 15}));
  EXPECT_EQ(s.adaptors[1].clsid, ConfigFile::ForwarderAdaptorClsid());
  EXPECT_EQ(s.adaptors[1].enableFlags, (std::array<uint8_t, 4>{0, 0, 0, 0}));
  for (const auto& a : s.adaptors) EXPECT_TRUE(ConfigFile::Validate(a, &error)) << error;
}

TEST(ConfigFile, MistakesAreRefusedWithTheirLine) {
  const std::string clsid = "{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}";
  std::vector<std::pair<std::string, std::string>> cases = {
      {"listen = ip:1\nport = 5\n", "line 2: unknown key port"}, {"[adaptors]\n", "line 1: unknown section"},
      {"listen = a\nlisten = b\n", "line 2: listen is given twice"}, {"just words\n", "line 1: expected key = value"},
      {"max_connections = 0\n", "line 1: max_connections"}, {"tls_required = yes\n", "tls_required = yes needs"},
      {"tls_certificate = c.pem\ntls_key = k.pem\n", "tls_certificate, tls_key and tls_client_ca go together"},
      {"[adaptor]\nkind = store\nname = S\n", "line 1: an adaptor needs kind, name and clsid"},
      {"[adaptor]\nkind = disk\n", "line 2: kind must be"}, {kStore + "enable.op = 16\n", "line 5: enable.op"},
      {"[adaptor]\nclsid = 1B67ABEC-0E98-4B4F-9A72-A366625F20D6\n", "line 2: clsid must be written"},
      {kStore + "enable.op = fatal\n", "line 5: enable.op"}, {kStore + "enable.all = 1\n", "line 5: unknown audience"},
      {kStore + "severities = error\nenable.op = warning\n", "enable.op names a severity"},
      {kStore + "audiences = dev\nenable.op = error\n", "enable.op is set for an audience"},
      {kStore + "[adaptor]\nkind = store\nname = T\nclsid = {00000000-0000-0000-0000-000000000001}\n",
       "only one store adaptor"},
      {kStore + "[adaptor]\nkind = forwarder\nname = F\nclsid = " + clsid + "\n", "is used twice"},
      {"[adaptor]\nkind = store\nname = " + std::string(130, 'n') + "\nclsid = " + clsid + "\n", "1 to 129 characters"},
      {kForwarder + "server = 127.0.0.1\n", "line 6: server must be HOST:PORT"},
      {kForwarder + "server = a:1\nserver = b:2\n", "line 7: server is given twice"},
      {"[adaptor]\nserver = a:1\nkind = store\nname = S\nclsid = " + clsid + "\n",
       "line 1: server is a key of forwarder adaptors only"},
  };
  for (const std::string& line : std::vector<std::string>{
           "server = 127.0.0.1:0", "server = ::1:514", "facility = local8", "facility = 24", "app_name = two words",
           "app_name = " + std::string(49, 'a'), "hostname = h\xC3\xBCtte", "buffer_items = 0", "reconnect_max_ms = 99",
           "max_message_bytes = 1023"})
    cases.push_back({kForwarder + line + "\n", "line 6: " + line.substr(0, line.find(' ')) + " must be"});
  HostSettings s;
  std::string error;
  for (const auto& [text, expected] : cases) {
    EXPECT_FALSE(ConfigFile::Parse(text, "", &s, &error)) << text;
    EXPECT_NE(error.find(expected), std::string::npos) << "for:\n" << text << "got: " << error;
  }
  EXPECT_FALSE(ConfigFile::Load("/nonexistent/tarnhost.conf", &s, &error));
  EXPECT_NE(error.find("/nonexistent/tarnhost.conf"), std::string::npos) << error;
}

TEST(ConfigFile, ValuesOfTheirOwnKind) {
  Guid g;
  ASSERT_TRUE(Guid::Parse("{00112233-4455-6677-8899-AABBCCDDEEFF}", &g));  // the in-memory layout
  EXPECT_EQ(g.bytes(), (std::array<uint8_t, 16>{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA,
                                               0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(g.ToRegistryString(), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  for (const char* bad : {"00112233-4455-6677-8899-AABBCCDDEEFF", "{00112233-4455-6677-8899-AABBCCDDEEF}",
                          "{00112233-4455-6677-8899_AABBCCDDEEFF}", "{0011223G-4455-6677-8899-AABBCCDDEEFF}"})
    EXPECT_FALSE(Guid::Parse(bad, &g)) << bad;

  TransportAddress a;
  std::string error;
  ASSERT_TRUE(TransportAddress::Parse("ip:127.0.0.1:60093", &a, &error)) << error;
  EXPECT_TRUE(a.ipv4() == "127.0.0.1" && a.port() == 60093);
  ASSERT_TRUE(TransportAddress::Parse("ip:60093", &a, &error)) << error;
  EXPECT_EQ(a.ToString(), "ip:0.0.0.0:60093");
  for (const char* bad : {"tcp:127.0.0.1:1", "ip:", "ip:127.0.0.1:", "ip:127.0.0.1:65536", "ip:localhost:1",
                          "ip:1.2.3:4", "ip:127.0.0.1:-1"})
    EXPECT_FALSE(TransportAddress::Parse(bad, &a, &error)) << bad;
  std::string host;
  uint16_t port = 0;
  EXPECT_TRUE(SplitServerAddress("[::1]:514", &host, &port) && host == "::1" && port == 514);
  int facility = -1;
  EXPECT_TRUE(ParseFacility("local7", &facility) && facility == 23);
  EXPECT_TRUE(ParseFacility("0", &facility) && facility == 0);

  int32_t v;
  EXPECT_TRUE(ParseInt32("-2147483648", &v) && v == INT32_MIN);
  EXPECT_TRUE(ParseInt32("2147483647", &v) && v == INT32_MAX);
  for (const char* bad : {"", "-", "2147483648", "+1", " 1", "1 ", "0x10", "12345678901"})
    EXPECT_FALSE(ParseInt32(bad, &v)) << bad;
  EXPECT_EQ(FormatInt32(E_FAIL), "-2147467259");
}

TEST(ConfigFile, OleDatesBecomeIsoText) {
  // Before 1899-12-30 the fraction still counts from midnight; rounding up to midnight is the next day.
  const std::pair<double, const char*> cases[] = {
      {0.0, "1899-12-30T00:00:00.000Z"}, {45000.5, "2023-03-15T12:00:00.000Z"}, {-1.25, "1899-12-29T06:00:00.000Z"},
      {36526.0 + 1.0 / 86400000.0 * 1500.0, "2000-01-01T00:00:01.500Z"}, {1.0 - 1e-10, "1899-12-31T00:00:00.000Z"},
      {2958465.0, "9999-12-31T00:00:00.000Z"}};
  for (const auto& [date, iso] : cases) EXPECT_EQ(OleDateToIso(date), iso) << date;
  for (double bad : {2958466.0, -657435.0, std::nan("")}) EXPECT_FALSE(OleDateToIso(bad)) << bad;
}

TEST(Text, Utf16AndUtf8MeetAtTheStoreAndTheConfiguration) {
  const std::u16string wide = u"K\u00E9 \u20AC \U0001F600";  // a surrogate pair at the end
  const std::string narrow = "K\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(Utf16ToUtf8(wide), narrow);
  EXPECT_EQ(Utf8ToUtf16(narrow), wide);
  // Damage becomes U+FFFD instead of being refused or passed on.
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"a"), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong "/"
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // an encoded surrogate
}

TEST(Filter, EveryConditionIsRead) {
  for (std::string_view text : {"", "  \r\n\t", "<Filter/>", "<?xml version=\"1.0\"?>\n<Filter>\n</Filter>\n"}) {
    Filter f = Parsed(text);
    EXPECT_FALSE(f.severities || f.audiences || f.maxVerbosity || f.from || f.before || f.location || f.provider ||
                 f.user || f.maxCount || !f.text.empty())
        << text;
  }
  Filter f = Parsed("<Filter>\n  <Severity>Error, Audit</Severity>\n  <Audience>Op</Audience>\n"
                    "  <MaxVerbosity>-2</MaxVerbosity>\n  <From>2023-03-15T06:00:00.250Z</From>\n  <Before>45001.5</Before>\n"
                    "  <Location match=\"prefix\">Plant 1/</Location>\n  <Provider match=\"exact\">Conveyor</Provider>\n"
                    "  <User match='prefix'>OPS\\</User>\n  <Text> jam </Text>\n  <MaxCount>500</MaxCount>\n</Filter>");
  EXPECT_TRUE(f.severities == 9u && f.audiences == 8u && f.maxVerbosity == -2 && f.maxCount == 500u);
  ASSERT_TRUE(f.from && f.before && f.location && f.provider && f.user);
  EXPECT_NEAR(*f.from, kMarch15 + 0.25 + 250 * kMillisecond, 1e-9);
  EXPECT_EQ(*f.before, 45001.5);
  EXPECT_TRUE(f.location->value == "Plant 1/" && f.location->prefix);
  EXPECT_TRUE(f.provider->value == "Conveyor" && !f.provider->prefix);
  EXPECT_TRUE(f.user->value == "OPS\\" && f.user->prefix);
  EXPECT_EQ(f.text, " jam ") << "texts are taken exactly; only numbers and times are trimmed";

  const std::pair<const char*, uint32_t> masks[] = {
      {"<Severity>Error|Warning</Severity>", 3}, {"<Severity> warning + INFO </Severity>", 6},
      {"<Severity>12</Severity>", 12}, {"<Audience>all</Audience>", 15 << 8}, {"<Audience>VELTRA,Dev,Eng</Audience>", 7 << 8}};
  for (const auto& [element, mask] : masks) {
    Filter m = Parsed(std::string("<Filter>") + element + "</Filter>");
    EXPECT_EQ(m.severities.value_or(0) | m.audiences.value_or(0) << 8, mask) << element;
  }

  // Times are ISO 8601 in UTC or OLE dates.
  const std::pair<const char*, double> times[] = {
      {"2023-03-15", kMarch15}, {"2023-03-15T06:00Z", kMarch15 + 0.25}, {"2000-02-29", 36585.0}, {"1900-01-01", 2.0},
      {"2023-03-15T18:30:15Z", kMarch15 + (18 * 3600 + 30 * 60 + 15) / 86400.0},
      {"2023-03-15T00:00:00.5Z", kMarch15 + 500 * kMillisecond}, {"2023-03-15T00:00:00.007Z", kMarch15 + 7 * kMillisecond},
      {"9999-12-31T23:59:59.999Z", 2958465.0 + 86399999 * kMillisecond}, {"45000", kMarch15},
      {" 45000.125 ", kMarch15 + 0.125}, {"0", 0.0}};
  for (const auto& [text, expected] : times) {
    Filter t = Parsed(std::string("<Filter><From>") + text + "</From></Filter>");
    ASSERT_TRUE(t.from) << text;
    EXPECT_NEAR(*t.from, expected, 1e-9) << text;
  }
  // The ISO reading is the inverse of the text the store keeps next to each time.
  double d;
  ASSERT_TRUE(IsoToOleDate("2026-12-05T22:12:27.598Z", &d));
  EXPECT_EQ(OleDateToIso(d), "2026-12-05T22:12:27.598Z");
  for (const char* t : {"2023-02-29", "2023-13-01", "2023-04-31", "1899-12-31", "2023-03-15T06:00:00",
                        "2023-03-15T24:00:00Z", "2023-03-15T06:60Z", "2023-03-15T06:00:00.1234Z",
                        "2023-03-15T06:00:00.Z", "2023-03-15t06:00:00z", "2023-03-15T06:00:00+01:00", "2023-3-15",
                        "-1", "1e5", "2958466", "45000.", ".5", "0x10", "yesterday", ""}) {
    std::string error = FilterRefused(std::string("<Filter><Before>") + t + "</Before></Filter>");
    EXPECT_EQ(error.rfind("filter, line 1, column 9: <Before> \"", 0), 0u) << error;
  }
  EXPECT_EQ(FilterRefused("<Filter><Before>2023-03-15</Before><From>45000</From></Filter>"),
            "filter, line 1, column 1: <From> must be earlier than <Before>");
}

TEST(Filter, XmlFormsOfSerialisersAreRead) {
  // A BOM, a declaration naming UTF-16 (the text came so), comments, references, CDATA and CR LF line ends.
  Filter f = Parsed(
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n<!-- viewer -->\r\n"
      "<Filter><!-- what to find --><Text>&lt;jam&gt; &amp; &quot;&apos; &#65;&#x263A;<![CDATA[<&>]]>\r\nend</Text>"
      "<Location>a&#x9;b&#xE9;&#x1F600;</Location></Filter>\r\n<!-- done -->");
  EXPECT_EQ(f.text, "<jam> & \"' A\xE2\x98\xBA<&>\nend");
  ASSERT_TRUE(f.location);
  EXPECT_EQ(f.location->value, "a\tb\xC3\xA9\xF0\x9F\x98\x80");  // two- and four-byte UTF-8
  std::string error;  // through the UTF-16 entry the client uses
  ASSERT_TRUE(Filter::Parse(std::u16string_view(u"<Filter><User>J\u00FCrgen</User></Filter>"), &f, &error)) << error;
  EXPECT_EQ(f.user->value, "J\xC3\xBCrgen");
}

TEST(Filter, MalformedDocumentsAreRefusedWithWhereAndWhy) {
  // The place is part of what the client shows; of the rest, a word that names the mistake is checked.
  std::string deep = "<Filter>";
  for (int i = 0; i < 20; ++i) deep += "<a>";
  const std::pair<std::string, std::string> cases[] = {
      {"<Filter>", "line 1, column 9: <Filter> is not closed"},
      {"Severity=1", "line 1, column 1: text before"},
      {"<Filtre/>", "line 1, column 1: the document's element is <Filtre>"},
      {"<Filter version=\"1\"/>", "line 1, column 1: <Filter> has no attributes"},
      {"<Filter>\n  <Sevrity>Error</Sevrity>\n</Filter>", "line 2, column 3: unknown element <Sevrity>"},
      {"<Filter><Severity>Eror</Severity></Filter>", "line 1, column 9: <Severity> \"Eror\" is not a mask"},
      {"<Filter><Audience>16</Audience></Filter>", "line 1, column 9: <Audience> \"16\" is not a mask"},
      {"<Filter><Severity>none</Severity></Filter>", "line 1, column 9: <Severity> selects nothing"},
      {"<Filter><Audience>0</Audience></Filter>", "line 1, column 9: <Audience> selects nothing"},
      {"<Filter><Location>a</Location>\n<Location>b</Location></Filter>", "line 2, column 1: <Location> appears twice"},
      {"<Filter><Location match=\"Prefix\">a</Location></Filter>", "line 1, column 9: match=\"Prefix\""},
      {"<Filter><User kind=\"x\">a</User></Filter>", "line 1, column 9: <User> has no attribute kind"},
      {"<Filter><Text case=\"exact\">a</Text></Filter>", "line 1, column 9: <Text> has no attribute case"},
      {"<Filter><Location match=\"exact\" match=\"prefix\">a</Location></Filter>", "line 1, column 33: attribute match"},
      {"<Filter><MaxCount>0</MaxCount></Filter>", "line 1, column 9: <MaxCount> \"0\""},
      {"<Filter><MaxCount>2147483648</MaxCount></Filter>", "line 1, column 9: <MaxCount> \"2147483648\""},
      {"<Filter><MaxVerbosity>1.5</MaxVerbosity></Filter>", "line 1, column 9: <MaxVerbosity> \"1.5\""},
      {"<Filter><Severity>Error<b/></Severity></Filter>", "line 1, column 24: <Severity> holds text only"},
      {"<Filter><Text>a</Text>junk</Filter>", "line 1, column 1: text directly inside <Filter>"},
      {"<Filter><Text>a</Txt></Filter>", "line 1, column 18: </Txt> closes <Text>"},
      {"<Filter><Text>&bogus;</Text></Filter>", "line 1, column 15: unknown entity &bogus;"},
      {"<Filter><Text>a&#0;</Text></Filter>", "line 1, column 16: &#0;"},
      {"<Filter><Text>a & b</Text></Filter>", "line 1, column 17: \"&\""},
      {"<Filter/><Filter/>", "line 1, column 10: more after the end"},
      {"<!DOCTYPE Filter [<!ENTITY x \"y\">]><Filter/>", "line 1, column 1: DOCTYPE"},
      {"<?xml-stylesheet href=\"x\"?><Filter/>", "line 1, column 1: processing instructions"},
      {"<Filter><!-- a -- b --></Filter>", "line 1, column 16: \"--\" inside a comment"},
      {"<Filter><Text>\x01</Text></Filter>", "line 1, column 15: control character 1"},
      {"<Filter><Text>]]></Text></Filter>", "line 1, column 15: \"]]>\""},
      {"<Filter><Location match=prefix>a</Location></Filter>", "line 1, column 25: an attribute value in quotes"},
      {"<Filter><Location match=\"a<b\">a</Location></Filter>", "line 1, column 27: \"<\" inside an attribute"},
      {"<Filter><Location\tmatch=\"exact\"match=\"prefix\">a</Location></Filter>", "line 1, column 32: a space"},
      {"<Filter><1/></Filter>", "line 1, column 10: a name was expected"},
      {"<Filter><Text>\xC3\xA9t\xC3\xA9 &x;</Text></Filter>", "line 1, column 19: unknown entity &x;"},
      {deep, "line 1, column 54: elements nest deeper than 16 levels"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(FilterRefused(text).rfind("filter, " + error, 0), 0u) << text;

  std::u16string longText = u"<Filter><Text>" + std::u16string(Filter::kMaxLength, u'x') + u"</Text></Filter>";
  Filter f;
  std::string error;
  EXPECT_FALSE(Filter::Parse(std::u16string_view(longText), &f, &error));
}
