// tarnhost: the Mux service. Listens on the transport address, routes the
// items that clients post to the adaptors, answers adaptor requests, and
// stops cleanly on SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/ConfigFile.h"
#include "core/Logger.h"
#include "core/TransportAddress.h"
#include "service/Service.h"

using namespace hv::host;

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: tarnhost [--config FILE] [--listen ip:ADDRESS:PORT] [--db PATH] [--log-file PATH]\n"
               "Without --config the store adaptor accepts every message and --db is required.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath, listen, db, logFile;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    bool ok;
    if (arg == "--config") ok = value(&configPath);
    else if (arg == "--listen") ok = value(&listen);
    else if (arg == "--db") ok = value(&db);
    else if (arg == "--log-file") ok = value(&logFile);
    else if (arg == "--help" || arg == "-h") return Usage(), 0;
    else ok = false;
    if (!ok) {
      Usage();
      return 2;
    }
  }

  Logger log;
  HostSettings settings = ConfigFile::Defaults();
  std::string error;
  if (!configPath.empty() && !ConfigFile::Load(configPath, &settings, &error)) {
    log.Line("not started: " + error);
    return 1;
  }
  if (!listen.empty()) settings.listen = listen;
  if (!db.empty()) settings.database = db;
  if (!logFile.empty()) settings.logFile = logFile;
  if (!settings.logFile.empty() && !log.OpenFile(settings.logFile, &error)) {
    log.Line("not started: " + error);
    return 1;
  }

  // The signals are taken by sigwait below; every thread started from here
  // on inherits the blocked mask, so none of them is interrupted by them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  Service service(settings, log);
  if (!service.Start(&error)) {
    log.Line("not started: " + error);
    return 1;
  }
  int signal = 0;
  sigwait(&stopSignals, &signal);
  log.Line(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
  service.Stop();
  return 0;
}
