// tarnhost: the Mux service. Listens on the transport address, routes the
// items that clients post to the adaptors, answers adaptor requests, reopens
// its log file on SIGHUP and stops cleanly on SIGTERM or SIGINT.
#include <malloc.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/ConfigFile.h"
#include "core/Logger.h"
#include "core/TransportAddress.h"
#include "service/Service.h"
#include "service/SystemdNotify.h"

using namespace hv::host;

namespace {

const char* const kDefaultConfig = "/etc/halvern/tarnhost.conf";
const char* const kDefaultDatabase = "/var/lib/halvern/messages.db";

void Usage(FILE* out) {
  std::fprintf(out,
               "NAME\n"
               "    tarnhost - the Mux service of Halvern Diagnostics\n"
               "\n"
               "SYNOPSIS\n"
               "    tarnhost [--config FILE] [--listen ip:ADDRESS:PORT] [--db PATH] [--log-file PATH]\n"
               "    tarnhost [--config FILE] --check-config\n"
               "    tarnhost --version | --help\n"
               "\n"
               "DESCRIPTION\n"
               "    Stores the messages that clients of the library send in an SQLite database and\n"
               "    serves them to readers. Without --config it reads %s when that file\n"
               "    exists, else it runs the built-in adaptors. The database is %s\n"
               "    unless the configuration or --db names another.\n"
               "\n"
               "OPTIONS\n"
               "    --config FILE     the configuration file; \"\" for the built-in settings\n"
               "    --listen ADDRESS  where clients connect, instead of the file's listen\n"
               "    --db PATH         the database, instead of the file's database\n"
               "    --log-file PATH   log to this file too, instead of the file's log_file\n"
               "    --check-config    check the configuration, say what is wrong or OK, and exit\n"
               "    --version         print the version and exit\n"
               "    --help            print this text and exit\n"
               "\n"
               "SIGNALS\n"
               "    SIGHUP reopens the log file; SIGTERM and SIGINT stop after committing every\n"
               "    message received.\n"
               "\n"
               "EXIT STATUS\n"
               "    0 after a clean stop or a good configuration, 1 when it could not start or the\n"
               "    configuration is wrong, 2 for a wrong command line.\n"
               "\n"
               "SEE ALSO\n"
               "    /usr/share/doc/tarnhost/host.md\n",
               kDefaultConfig, kDefaultDatabase);
}

}  // namespace

int main(int argc, char** argv) {
  // Frames and answers of many megabytes come and go with the clients. With a
  // fixed threshold every such buffer is mapped on its own and given back to
  // the system when it is freed; the default moving threshold keeps freed
  // buffers in the allocator, so what the limits let go would stay resident.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  std::string configPath, listen, db, logFile;
  bool checkOnly = false, configGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    bool ok = true;
    if (arg == "--config") ok = configGiven = value(&configPath);
    else if (arg == "--listen") ok = value(&listen);
    else if (arg == "--db") ok = value(&db);
    else if (arg == "--log-file") ok = value(&logFile);
    else if (arg == "--check-config") checkOnly = true;
    else if (arg == "--version") return std::printf("tarnhost %s\n", TARNHOST_VERSION), 0;
    else if (arg == "--help" || arg == "-h") return Usage(stdout), 0;
    else ok = false;
    if (!ok) {
      Usage(stderr);
      return 2;
    }
  }
  // --config "" runs the built-in settings even where the default file exists.
  if (!configGiven && ::access(kDefaultConfig, F_OK) == 0) configPath = kDefaultConfig;

  Logger log;
  log.SetPriorityPrefixes(SystemdNotify::StderrIsJournal());
  HostSettings settings = ConfigFile::Defaults();
  std::string error;
  TransportAddress address;
  bool valid = (configPath.empty() || ConfigFile::Load(configPath, &settings, &error));
  if (!listen.empty()) settings.listen = listen;
  if (!db.empty()) settings.database = db;
  if (!logFile.empty()) settings.logFile = logFile;
  if (settings.database.empty()) settings.database = kDefaultDatabase;
  if (valid && !TransportAddress::Parse(settings.listen, &address, &error)) error = "listen: " + error, valid = false;
  if (valid && !Service::MayListen(settings, address, &error)) valid = false;
  if (checkOnly) {
    std::string what = configPath.empty() ? "the built-in settings" : configPath;
    if (!valid) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    std::printf("%s: OK; %zu adaptors, listen %s, database %s\n", what.c_str(), settings.adaptors.size(),
                settings.listen.c_str(), settings.database.c_str());
    return 0;
  }
  if (!valid) {
    log.Line("not started: " + error, Logger::kError);
    return 1;
  }
  if (!settings.logFile.empty() && !log.OpenFile(settings.logFile, &error)) {
    log.Line("not started: " + error, Logger::kError);
    return 1;
  }

  // The signals are taken by sigwait below; every thread started from here
  // on inherits the blocked mask, so none of them is interrupted by them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  Service service(settings, log);
  if (!service.Start(&error)) {
    log.Line("not started: " + error, Logger::kError);
    return 1;
  }
  SystemdNotify::Ready("listening on " + service.listening().ToString());
  int signal = 0;
  // SIGHUP touches only the log: connections, the writer and the adaptors
  // go on untouched, so nothing received is lost.
  while (sigwait(&signals, &signal) == 0 && signal == SIGHUP) {
    SystemdNotify::Reloading();
    if (log.ReopenFile(&error)) log.Line("received SIGHUP; log file reopened");
    else log.Line("received SIGHUP; " + error + "; logging on to the old file", Logger::kError);
    SystemdNotify::Ready("listening on " + service.listening().ToString());
  }
  log.Line(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
  SystemdNotify::Stopping();
  service.Stop();
  return 0;
}
