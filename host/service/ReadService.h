// The reading side of the host, shared by every connection: which adaptors
// can be read from, where the store is, and the subscriptions.
#pragma once
#include <atomic>
#include <cstddef>
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

  // Readers and subscriptions of every connection together are bounded;
  // each session reports how many it holds as that changes.
  void SetLimits(size_t maxReaders, size_t maxSubscriptions) {
    maxReaders_ = maxReaders;
    maxSubscriptions_ = maxSubscriptions;
  }
  void Count(std::ptrdiff_t readers, std::ptrdiff_t subscriptions) {
    readerCount_ += readers;
    subscriptionCount_ += subscriptions;
  }
  bool ReadersFull() const { return readerCount_.load() >= std::ptrdiff_t(maxReaders_); }
  bool SubscriptionsFull() const { return subscriptionCount_.load() >= std::ptrdiff_t(maxSubscriptions_); }

  const std::string& databasePath() const { return path_; }
  Subscriptions& subscriptions() { return subscriptions_; }
  Logger& log() { return log_; }

 private:
  const std::string path_;
  const Router& router_;
  Logger& log_;
  Subscriptions subscriptions_;
  size_t maxReaders_ = SIZE_MAX;
  size_t maxSubscriptions_ = SIZE_MAX;
  std::atomic<std::ptrdiff_t> readerCount_{0};
  std::atomic<std::ptrdiff_t> subscriptionCount_{0};
};

}  // namespace hv::host
