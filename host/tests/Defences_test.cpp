// The real tarnhost against clients that try to forge log lines, against a
// umask that would let everyone read the messages, and on a disk that is
// full: the log stays one line per event and a few lines per flood, each
// with its priority for the journal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <tuple>

#include "core/Logger.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/TempDir.h"
#include "support/TestClient.h"
#include "store/DatabaseFile.h"

using namespace hv::host;
using namespace hvtest;

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(DefencesTest, ControlCharactersAreEscapedInTheLog) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb", "a\\x0Ab"},
      {"tab\there\r", "tab\\x09here\\x0D"},
      {"csi \xC2\x9B" "31m", "csi \\xC2\\x9B31m"},
      {"back\\slash \xC3\xA4", "back\\\\slash \xC3\xA4"},
  };
  for (const auto& c : cases) EXPECT_EQ(Logger::Escape(c.first), c.second);

  TempDir dir;
  RunningHost host(dir.path(), dir.File("m.db"));
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  MuxMessage forged;
  forged.SetField("MSGTYPE", "9\n2026-12-06T00:00:00.000Z tarnhost: adaptor flags changed");
  c.Post(forged);
  ASSERT_TRUE(c.NextFrame(5000));
  std::string log = host.process.Log();
  EXPECT_NE(log.find("type \"9\\x0A2026-12-06T00:00:00.000Z tarnhost: adaptor"), std::string::npos) << log;
  EXPECT_EQ(log.find("\n2026-12-06T00:00:00.000Z"), std::string::npos);
}

TEST(DefencesTest, UnderUmask000OnAFullDiskTheFilesStay0640AndTheLogsBounded) {
  TempDir dir;
  // The host may write no file beyond 6 MiB: the disk is full at that size,
  // which leaves the write-ahead log room to pass its own limit.
  rlimit old;
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit full = old;
  full.rlim_cur = 6 << 20;
  ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &full);
  // Its stderr is the journal's stream, so its lines carry priorities.
  WriteFile(dir.File("host.log"), "");
  struct stat st {};
  ::stat(dir.File("host.log").c_str(), &st);
  ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
  mode_t mask = ::umask(0);
  RunningHost host(dir.path(), dir.File("m.db"));
  ::umask(mask);
  ::unsetenv("JOURNAL_STREAM");
  ::setrlimit(RLIMIT_FSIZE, &old);
  TestClient c;
  ASSERT_TRUE(c.Connected(host.port));
  auto post = [&](int i) {
    c.Post(ItemMessage("1", 0, SimpleItem(std::u16string(30000, u'f'), 1, 1)));
    c.Post(ItemMessage("2", i, SimpleItem(std::u16string(30000, u'f'), 1, 1)));
    auto f = c.NextFrame(10000);
    Answer a;
    return f && ReadAnswer(*f, &a) ? a.hr : -1;
  };
  // An answer comes after the checkpoint that followed the transaction before it.
  const std::string wal = dir.File("m.db-wal");
  int failed = 0;
  int64_t largest = 0;
  bool emptied = false;
  for (int i = 0; i < 120; ++i) {
    int hr = post(i);
    ASSERT_NE(hr, -1) << "item " << i;
    failed += hr != 0;
    emptied = emptied || (largest > kWalLimitBytes * 3 / 4 && FileSize(wal) < (1 << 20));
    largest = std::max(largest, FileSize(wal));
  }
  EXPECT_TRUE(emptied) << "the log never went back to empty; largest " << largest;
  EXPECT_GT(failed, 40);
  // Each kind of line at most once a minute, with its priority for the journal.
  std::string log = host.process.Log();
  const std::tuple<const char*, size_t, const char*> lines[] = {
      {"listening on", 1, "<6>"}, {"failed and was rolled back", 1, "<3>"}, {"was not stored", 2, "<3>"}};
  for (const auto& [text, most, priority] : lines) {
    size_t at = log.find(text), start = log.rfind('\n', at) + 1;
    EXPECT_TRUE(at != std::string::npos && Count(log, text) <= most) << text << "\n" << log;
    EXPECT_EQ(log.substr(start, 3), priority) << text;
  }

  // Room again: the next items are stored.
  ASSERT_EQ(::prlimit(host.process.pid(), RLIMIT_FSIZE, &old, nullptr), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(post(1000 + i), 0) << "item " << i << " after room came back";
  EXPECT_LE(FileSize(wal), kWalLimitBytes);
  for (const char* name : {"m.db", "m.db-wal", "m.db-shm"}) {
    struct stat st {};
    ASSERT_EQ(::stat(dir.File(name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0640u) << name;
  }
}
