// Kernel links that stay in the test: the application's link factory hands out TestLinks, which keep what the
// application sends (or hand it to a datapath model) and let the test deliver messages and status changes to the
// application's observers, on the test's own thread.
#pragma once

#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "apps/config/IpDiscovery.h"
#include "dataplane/DataplaneLink.h"

namespace VevUroro::test {

class TestLink : public DataplaneLink {
 public:
  TestLink(MessageObserver messages, StatusObserver status)
      : DataplaneLink(std::move(messages), std::move(status), nullptr) {}

  bool Start() override {
    started = true;
    return true;
  }
  void Stop() override { stopped = true; }
  void ScheduleReopen() override {}
  bool Send(uint8_t* message) override {
    size_t length = (static_cast<size_t>(message[2]) << 8) | message[3];
    std::vector<uint8_t> bytes(message, message + length);
    std::free(message);
    {
      std::lock_guard<std::mutex> lock(_mutex);
      if (holding) {
        _held.push_back(std::move(bytes));
        return true;
      }
    }
    HandOver(std::move(bytes));
    return true;
  }
  size_t DropQueued() override {
    std::lock_guard<std::mutex> lock(_mutex);
    return std::exchange(_held, {}).size();
  }
  // Hands over what waited while holding, in order, and stops holding.
  void Release() {
    std::vector<std::vector<uint8_t>> held;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      holding = false;
      held.swap(_held);
    }
    for (std::vector<uint8_t>& bytes : held) HandOver(std::move(bytes));
  }

  void Up() { _statusObserver(this, LinkStatus::UP); }
  void Down() { _statusObserver(this, LinkStatus::DOWN); }
  void Deliver(const std::vector<uint8_t>& message) {
    _messageObserver(message.data(), static_cast<int>(message.size()));
  }
  std::vector<std::vector<uint8_t>> Take() {
    std::lock_guard<std::mutex> lock(_mutex);
    return std::exchange(_sent, {});
  }

  std::function<void(const std::vector<uint8_t>&)> onSend;  // instead of keeping the message
  bool started = false;
  bool stopped = false;
  // While set, sent messages wait in the link, as behind a peer that stopped reading, until Release or DropQueued.
  bool holding = false;

 private:
  void HandOver(std::vector<uint8_t> bytes) {
    if (onSend) {
      onSend(bytes);
    } else {
      std::lock_guard<std::mutex> lock(_mutex);
      _sent.push_back(std::move(bytes));
    }
  }

  std::mutex _mutex;
  std::vector<std::vector<uint8_t>> _sent;
  std::vector<std::vector<uint8_t>> _held;
};

class TestLinks {
 public:
  LinkFactory Factory() {
    return [this](const std::string& channel, DataplaneLink::MessageObserver messages,
                  DataplaneLink::StatusObserver status, uint32_t bufferSize) -> boost::intrusive_ptr<DataplaneLink> {
      boost::intrusive_ptr<TestLink> link(new TestLink(std::move(messages), std::move(status)));
      links[channel] = link;
      bufferSizes[channel] = bufferSize;
      return link;
    };
  }
  TestLink& operator[](const std::string& channel) { return *links.at(channel); }

  std::map<std::string, boost::intrusive_ptr<TestLink>> links;
  std::map<std::string, uint32_t> bufferSizes;
};

}  // namespace VevUroro::test
