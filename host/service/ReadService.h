// The reading side of the host, shared by every connection: which adaptors
// can be read from, where the store is, and the subscriptions.
#pragma once
#include <string>

#include "core/Guid.h"
#include "core/HResult.h"
#include "core/Logger.h"
#include "service/Router.h"
#include "service/Subscriptions.h"

namespace hv::host {

class ReadService {
 public:
  ReadService(std::string databasePath, const Router& router, Logger& log)
      : path_(std::move(databasePath)), router_(router), log_(log), subscriptions_(path_, log) {}

  bool Start(std::string* error) { return subscriptions_.Start(error); }
  void Stop() { subscriptions_.Stop(); }
  // The store writer calls this after each commit.
  void Committed() { subscriptions_.Committed(); }

  // S_OK for an adaptor that can be read from; REGDB_E_CLASSNOTREG for an
  // unknown class id, E_NOINTERFACE for an adaptor that keeps nothing.
  HResult CheckAdaptor(const Guid& clsid, std::string* why) const;

  const std::string& databasePath() const { return path_; }
  Subscriptions& subscriptions() { return subscriptions_; }
  Logger& log() { return log_; }

 private:
  const std::string path_;
  const Router& router_;
  Logger& log_;
  Subscriptions subscriptions_;
};

}  // namespace hv::host
