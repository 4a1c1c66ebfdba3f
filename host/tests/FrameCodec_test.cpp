// The frame protocol byte by byte: frames, messages, Hello, Error and the
// adaptor record, and the truncations and oversizes a client might send.
#include <gtest/gtest.h>

#include "protocol/AdaptorInfoRecord.h"
#include "protocol/ErrorPayload.h"
#include "protocol/Frame.h"
#include "protocol/FrameReader.h"
#include "protocol/Hello.h"
#include "protocol/MuxMessage.h"
#include "support/ItemBytes.h"

using namespace hv::host;
using hv::ByteWriter;
using hvtest::Bytes;

namespace {

template <typename T>
Bytes Written(const T& value) {
  Bytes out;
  ByteWriter w(&out);
  value.Write(w);
  return out;
}

bool Decodes(const Bytes& b, MuxMessage* m = nullptr, std::string* error = nullptr) {
  MuxMessage scratch;
  std::string why;
  bool ok = MuxMessage::Decode(b.data(), b.size(), m ? m : &scratch, &why);
  if (error) *error = why;
  return ok;
}

// A message of one field NAME = VALUE and nothing else.
Bytes WithField(const std::string& name, const std::string& value) {
  Bytes b = {0x01, 0x00, uint8_t(name.size())};
  b.insert(b.end(), name.begin(), name.end());
  b.push_back(uint8_t(value.size()));
  b.push_back(uint8_t(value.size() >> 8));
  b.insert(b.end(), value.begin(), value.end());
  b.insert(b.end(), 12, 0);
  return b;
}

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
  std::string error;
  ASSERT_TRUE(Decodes(expected, &back, &error)) << error;
  EXPECT_EQ(back.fields(), m.fields());
  EXPECT_EQ(back.text, u"ab");
  EXPECT_EQ(back.data, m.data);
  EXPECT_EQ(back.body, m.body);
  EXPECT_EQ(*back.Field("transid"), "-5");
  EXPECT_EQ(back.Field("TRANSID"), nullptr) << "field names compare exactly";
  EXPECT_TRUE(Decodes(Bytes(14, 0), &back) && back.fields().empty()) << "the smallest message";

  for (size_t n = 0; n < expected.size(); ++n)
    EXPECT_FALSE(Decodes(Bytes(expected.begin(), expected.begin() + std::ptrdiff_t(n)))) << "cut to " << n;
  Bytes longer = expected;
  longer.push_back(0);
  EXPECT_FALSE(Decodes(longer));
}

TEST(FrameCodec, FieldLimitsAreEnforced) {
  EXPECT_TRUE(Decodes(WithField(std::string(64, 'N'), std::string(1024, 'v'))));
  Bytes twice = {0x02, 0x00, 0x01, 'A', 0x00, 0x00, 0x01, 'A', 0x00, 0x00};
  twice.insert(twice.end(), 12, 0);
  const Bytes refused[] = {
      WithField(std::string(65, 'N'), "v"), WithField("", "v"), WithField("has space", "v"),
      WithField("caf\xC3\xA9", "v"), WithField("N", std::string(1025, 'v')), WithField("N", std::string("a\0b", 3)),
      twice, Bytes{65, 0x00},  // more fields than allowed
      // Lengths of text, data and body that point past the payload.
      Bytes{0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0}, Bytes{0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0},
      Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}};
  for (size_t i = 0; i < std::size(refused); ++i) EXPECT_FALSE(Decodes(refused[i])) << "case " << i;
}

TEST(FrameCodec, ReaderCutsFramesFromAnyPiecesAndStopsAtBadLengths) {
  Bytes stream;
  std::vector<Bytes> payloads = {{}, {1, 2, 3}, Bytes(70000, 0x5A)};
  for (size_t i = 0; i < payloads.size(); ++i)
    stream = hvtest::Concat({stream, FrameCodec::Encode(FrameKind::Transact, uint32_t(100 + i), payloads[i])});
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
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].kind, FrameKind::Transact);
      EXPECT_EQ(got[i].id, 100 + i);
      EXPECT_EQ(got[i].payload, payloads[i]);
    }
    EXPECT_EQ(reader.Pending(), 0u);
  }

  using S = FrameReader::Status;
  const std::pair<uint32_t, S> lengths[] = {{7, S::Broken}, {0, S::Broken}, {8, S::HaveFrame},
                                            {8 + FrameCodec::kMaxPayload, S::NeedMore},
                                            {9 + FrameCodec::kMaxPayload, S::Broken}, {0xFFFFFFFF, S::Broken}};
  for (auto [length, status] : lengths) {
    FrameReader reader;
    Bytes header = hvtest::Concat({hvtest::Le32(length), {3, 0, 0, 0, 1, 0, 0, 0}});
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
  EXPECT_TRUE(Hello::Decode(hello.data(), hello.size(), &h));
  EXPECT_EQ(h.highest, 3);
  Bytes longer = hvtest::Concat({hello, {0}});
  for (const Bytes& bad : {Bytes{'h', 'V', 'M', 'X', 1, 0, 3, 0}, Bytes{'H', 'V', 'M', 'X', 3, 0, 1, 0},
                           Bytes(hello.begin(), hello.end() - 1), longer})
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
  Bytes rec = Written(r);
  ASSERT_EQ(rec.size(), AdaptorInfoRecord::kSize);
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 24), (Bytes{0xF, 0, 0, 0, 7, 0, 0, 0, 1, 2, 4, 8, 'S', 0, 't', 0, 'o',
                                                         0, 'r', 0, 'e', 0, 0, 0}));
  EXPECT_EQ(Bytes(rec.begin() + 24, rec.end()), Bytes(248, 0));
  // 129 characters and the NUL fill the name field; a longer name is cut.
  r.name = std::u16string(200, u'n');
  rec = Written(r);
  ASSERT_EQ(rec.size(), AdaptorInfoRecord::kSize);
  EXPECT_EQ(rec[12 + 2 * 128], 'n');
  EXPECT_EQ(rec[270] | rec[271], 0);
}
