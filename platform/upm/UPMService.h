// The container-mapping (UPM) service: keeps the mapping of containers to their profiles for the agent.
//
// For now it only has its life cycle; the database client creates it, start-up starts it after the client and
// stops it before. Start() and Stop() are idempotent and may be called from any thread.
#pragma once

#include <atomic>
#include <string>

namespace qor::upm {

class UPMService {
 public:
  explicit UPMService(std::string name = "");
  ~UPMService();
  UPMService(const UPMService&) = delete;
  UPMService& operator=(const UPMService&) = delete;

  bool Start();
  void Stop();
  bool Running() const { return _running.load(); }
  const std::string& Name() const { return _name; }

 private:
  std::string _name;
  std::atomic<bool> _running{false};
};

}  // namespace qor::upm
