// The Debian package end to end on this machine: built with CPack, installed
// with dpkg, the installed service started as its unit starts it (as the
// halvern account, default configuration and database), a message stored
// through it, then purged without a trace. Root only; it changes the machine.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/HResult.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/StoreQuery.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hv::host;
using namespace hvtest;

namespace {

// dpkg, waiting a while when another installation holds its lock.
int Dpkg(const std::string& args, std::string* out) {
  for (int i = 0; i < 15; ++i, ::sleep(1))
    if (int rc = Shell("dpkg " + args, out); rc == 0 || out->find("lock") == std::string::npos) return rc;
  return -1;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

TEST(DebPackage, InstallsRunsStoresAndPurgesClean) {
  std::string out;
  if (::geteuid() != 0) GTEST_SKIP() << "installing a package needs root";
  if (Shell("getent passwd halvern || getent group halvern || dpkg -s tarnhost") == 0 || Exists("/etc/halvern"))
    GTEST_SKIP() << "this machine already has tarnhost or a halvern account; not touching them";
  TempDir dir;
  ASSERT_EQ(Shell("cpack -G DEB -B " + dir.path() + " --config " TARNHOST_BUILD_DIR "/CPackConfig.cmake", &out), 0)
      << out;
  // Purged however the test ends.
  struct Purge {
    ~Purge() {
      std::string out;
      Dpkg("--purge tarnhost", &out);
    }
  } purge;
  ASSERT_EQ(Dpkg("-i " + dir.path() + "/tarnhost_" TARNHOST_VERSION "_*.deb", &out), 0) << out;

  struct stat st;
  ASSERT_EQ(::stat("/var/lib/halvern", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  std::string exec;
  ASSERT_EQ(Shell("sed -n 's/^ExecStart=//p' /lib/systemd/system/tarnhost.service", &exec), 0);
  exec.pop_back();
  {
    HostProcess host({"--reuid=halvern", "--regid=halvern", "--init-groups", exec, "--listen", "ip:127.0.0.1:0"},
                     dir.File("host.log"), "/usr/bin/setpriv");
    int port = host.WaitListening(10000);
    ASSERT_NE(port, 0) << host.Log();
    TestClient c;
    ASSERT_TRUE(c.Connected(port));
    Bytes item = SimpleItem(u"from the package test", 1, 1);
    c.Post(ItemMessage("2", 7, item));
    Answer a;
    auto f = c.NextFrame(5000);
    ASSERT_TRUE(f && ReadAnswer(*f, &a)) << host.Log();
    EXPECT_EQ(a.hr, S_OK);
    host.Signal(SIGTERM);
    EXPECT_EQ(host.WaitExit(10000), 0) << host.Log();
  }
  EXPECT_EQ(StoreQuery("/var/lib/halvern/messages.db").Int("SELECT COUNT(*) FROM messages"), 1);
  EXPECT_EQ(Shell("test \"$(stat -c %U /var/lib/halvern/messages.db)\" = halvern"), 0);

  ASSERT_EQ(Dpkg("--purge tarnhost", &out), 0) << out;
  for (const char* path : {"/lib/systemd/system/tarnhost.service", "/etc/halvern", "/var/lib/halvern",
                           "/var/log/halvern", "/usr/share/doc/tarnhost", exec.c_str()})
    EXPECT_FALSE(Exists(path)) << path << " is left after the purge";
  EXPECT_NE(Shell("getent passwd halvern"), 0) << "the halvern account is left after the purge";
  EXPECT_NE(Shell("getent group halvern"), 0) << "the halvern group is left after the purge";
}
