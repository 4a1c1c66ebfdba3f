// The frame protocol byte by byte: frames, messages, Hello, Error and the
// adaptor record, and every truncation or oversize a client might send.
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

Bytes Write(const MuxMessage& m) {
  Bytes out;
  ByteWriter w(&out);
  m.Write(w);
  return out;
}

bool DecodeMessage(const Bytes& b, MuxMessage* m, std::string* error = nullptr) {
  std::string why;
  bool ok = MuxMessage::Decode(b.data(), b.size(), m, &why);
  if (error) *error = why;
  return ok;
}

MuxMessage SampleMessage() {
  MuxMessage m;
  m.SetField("MSGTYPE", "2");
  m.SetField("transid", "-5");
  m.text = u"ab";
  m.data = {1, 2};
  m.body = {9};
  return m;
}

}  // namespace

TEST(FrameCodec, FrameHeaderAndMessageLayoutAreExact) {
  EXPECT_EQ(FrameCodec::Encode(FrameKind::Post, 7, Bytes{0xAA, 0xBB}),
            (Bytes{0x0A, 0, 0, 0, 0x03, 0x00, 0x00, 0x00, 0x07, 0, 0, 0, 0xAA, 0xBB}));

  const Bytes expected = {
      0x02, 0x00,                                        // two fields
      0x07, 'M', 'S', 'G', 'T', 'Y', 'P', 'E', 0x01, 0x00, '2',
      0x07, 't', 'r', 'a', 'n', 's', 'i', 'd', 0x02, 0x00, '-', '5',
      0x02, 0x00, 0x00, 0x00, 'a', 0x00, 'b', 0x00,      // text, 2 code units
      0x02, 0x00, 0x00, 0x00, 0x01, 0x02,                // data
      0x01, 0x00, 0x00, 0x00, 0x09,                      // body
  };
  EXPECT_EQ(Write(SampleMessage()), expected);

  MuxMessage back;
  std::string error;
  ASSERT_TRUE(DecodeMessage(expected, &back, &error)) << error;
  EXPECT_EQ(back.fields(), SampleMessage().fields());
  EXPECT_EQ(back.text, u"ab");
  EXPECT_EQ(back.data, (Bytes{1, 2}));
  EXPECT_EQ(back.body, (Bytes{9}));
  ASSERT_NE(back.Field("transid"), nullptr);
  EXPECT_EQ(*back.Field("transid"), "-5");
  EXPECT_EQ(back.Field("TRANSID"), nullptr) << "field names compare exactly";

  // The smallest message: no fields, no text, data or body.
  ASSERT_TRUE(DecodeMessage(Bytes(14, 0), &back, &error)) << error;
  EXPECT_TRUE(back.fields().empty());
}

TEST(FrameCodec, EveryTruncatedOrLongerMessageIsRefused) {
  const Bytes full = Write(SampleMessage());
  MuxMessage m;
  for (size_t n = 0; n < full.size(); ++n)
    EXPECT_FALSE(DecodeMessage(Bytes(full.begin(), full.begin() + std::ptrdiff_t(n)), &m))
        << "cut to " << n << " bytes";
  Bytes longer = full;
  longer.push_back(0);
  EXPECT_FALSE(DecodeMessage(longer, &m));
}

TEST(FrameCodec, MessageLimitsAreEnforced) {
  auto withField = [](const std::string& name, const std::string& value) {
    Bytes b = {0x01, 0x00, uint8_t(name.size())};
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(uint8_t(value.size()));
    b.push_back(uint8_t(value.size() >> 8));
    b.insert(b.end(), value.begin(), value.end());
    b.insert(b.end(), 12, 0);
    return b;
  };
  MuxMessage m;
  std::string error;
  EXPECT_TRUE(DecodeMessage(withField(std::string(64, 'N'), std::string(1024, 'v')), &m, &error)) << error;
  EXPECT_FALSE(DecodeMessage(withField(std::string(65, 'N'), "v"), &m));
  EXPECT_FALSE(DecodeMessage(withField("", "v"), &m));
  EXPECT_FALSE(DecodeMessage(withField("has space", "v"), &m));
  EXPECT_FALSE(DecodeMessage(withField("caf\xC3\xA9", "v"), &m));
  EXPECT_FALSE(DecodeMessage(withField("N", std::string(1025, 'v')), &m));
  EXPECT_FALSE(DecodeMessage(withField("N", std::string("a\0b", 3)), &m, &error));
  EXPECT_NE(error.find("zero byte"), std::string::npos) << error;

  Bytes twice = {0x02, 0x00, 0x01, 'A', 0x00, 0x00, 0x01, 'A', 0x00, 0x00};
  twice.insert(twice.end(), 12, 0);
  EXPECT_FALSE(DecodeMessage(twice, &m, &error));
  EXPECT_NE(error.find("appears twice"), std::string::npos) << error;

  Bytes tooMany = {65, 0x00};
  EXPECT_FALSE(DecodeMessage(tooMany, &m, &error));
  EXPECT_NE(error.find("field count 65"), std::string::npos) << error;

  // Lengths that point past the payload.
  EXPECT_FALSE(DecodeMessage({0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0}, &m));
  EXPECT_FALSE(DecodeMessage({0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0}, &m));
  EXPECT_FALSE(DecodeMessage({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, &m));
}

TEST(FrameCodec, ReaderCutsFramesFromAnyPiecesAndStopsAtBadLengths) {
  Bytes stream;
  std::vector<Bytes> payloads = {{}, {1, 2, 3}, Bytes(70000, 0x5A)};
  for (size_t i = 0; i < payloads.size(); ++i) {
    Bytes f = FrameCodec::Encode(FrameKind::Transact, uint32_t(100 + i), payloads[i]);
    stream.insert(stream.end(), f.begin(), f.end());
  }
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

  auto statusOf = [](uint32_t length) {
    FrameReader reader;
    Bytes header = hvtest::Concat({hvtest::Le32(length), {3, 0, 0, 0, 1, 0, 0, 0}});
    reader.Append(header.data(), header.size());
    Frame f;
    std::string error;
    return reader.Next(&f, &error);
  };
  EXPECT_EQ(statusOf(7), FrameReader::Status::Broken);
  EXPECT_EQ(statusOf(0), FrameReader::Status::Broken);
  EXPECT_EQ(statusOf(8), FrameReader::Status::HaveFrame);
  EXPECT_EQ(statusOf(8 + FrameCodec::kMaxPayload), FrameReader::Status::NeedMore);
  EXPECT_EQ(statusOf(9 + FrameCodec::kMaxPayload), FrameReader::Status::Broken);
  EXPECT_EQ(statusOf(0xFFFFFFFF), FrameReader::Status::Broken);

  // Once broken, good bytes after the bad length do not bring it back.
  FrameReader reader;
  Bytes bad = hvtest::Le32(3);
  reader.Append(bad.data(), bad.size());
  Frame f;
  std::string error;
  EXPECT_EQ(reader.Next(&f, &error), FrameReader::Status::Broken);
  Bytes good = FrameCodec::Encode(FrameKind::Post, 1, Bytes{});
  reader.Append(good.data(), good.size());
  EXPECT_EQ(reader.Next(&f, &error), FrameReader::Status::Broken);
}

TEST(FrameCodec, HelloErrorAndAdaptorRecordLayouts) {
  Bytes hello;
  ByteWriter w(&hello);
  Hello{1, 3}.Write(w);
  EXPECT_EQ(hello, (Bytes{'H', 'V', 'M', 'X', 1, 0, 3, 0}));
  Hello h;
  EXPECT_TRUE(Hello::Decode(hello.data(), hello.size(), &h));
  EXPECT_EQ(h.highest, 3);
  Bytes wrong = hello;
  wrong[0] = 'h';
  EXPECT_FALSE(Hello::Decode(wrong.data(), wrong.size(), &h));
  Bytes reversed = {'H', 'V', 'M', 'X', 3, 0, 1, 0};
  EXPECT_FALSE(Hello::Decode(reversed.data(), reversed.size(), &h));
  EXPECT_FALSE(Hello::Decode(hello.data(), 7, &h));
  Bytes longer = hello;
  longer.push_back(0);
  EXPECT_FALSE(Hello::Decode(longer.data(), longer.size(), &h));

  Bytes reply;
  ByteWriter rw(&reply);
  HelloReply{1, FrameCodec::kMaxPayload}.Write(rw);
  EXPECT_EQ(reply, (Bytes{'H', 'V', 'M', 'X', 1, 0, 0, 0, 0, 0, 0x40, 0}));

  Bytes error;
  ByteWriter ew(&error);
  ErrorPayload{E_FAIL, "no"}.Write(ew);
  EXPECT_EQ(error, (Bytes{0x05, 0x40, 0x00, 0x80, 2, 0, 'n', 'o'}));
  // A long text is cut at 1024 bytes, never inside a character.
  std::string text = std::string(1023, 'x') + "\xC3\xA9" + "tail";
  Bytes cut;
  ByteWriter cw(&cut);
  ErrorPayload{E_FAIL, text}.Write(cw);
  ErrorPayload back;
  ASSERT_TRUE(ErrorPayload::Decode(cut.data(), cut.size(), &back));
  EXPECT_EQ(back.text, std::string(1023, 'x'));

  AdaptorInfoRecord r;
  r.audienceMask = 0xF;
  r.severityMask = 0x7;
  r.enableFlags = {1, 2, 4, 8};
  r.name = u"Store";
  Bytes rec;
  ByteWriter recw(&rec);
  r.Write(recw);
  ASSERT_EQ(rec.size(), AdaptorInfoRecord::kSize);
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 12), (Bytes{0xF, 0, 0, 0, 7, 0, 0, 0, 1, 2, 4, 8}));
  EXPECT_EQ(Bytes(rec.begin() + 12, rec.begin() + 24), (Bytes{'S', 0, 't', 0, 'o', 0, 'r', 0, 'e', 0, 0, 0}));
  EXPECT_EQ(Bytes(rec.begin() + 24, rec.end()), Bytes(248, 0));

  // 129 characters and the NUL fill the name field; a longer name is cut.
  r.name = std::u16string(200, u'n');
  rec.clear();
  ByteWriter longw(&rec);
  r.Write(longw);
  ASSERT_EQ(rec.size(), AdaptorInfoRecord::kSize);
  EXPECT_EQ(rec[12 + 2 * 128], 'n');
  EXPECT_EQ(rec[270], 0);
  EXPECT_EQ(rec[271], 0);
}
