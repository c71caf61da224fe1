#include "tools/qor-dpsim/Simulator.h"

#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"
#include "tools/qor-dpsim/DeviceModules.h"
#include "tools/qor-dpsim/KcpSwitchModule.h"
#include "tools/qor-dpsim/OverlayModule.h"
#include "tools/qor-dpsim/RouterModule.h"
#include "tools/qor-dpsim/SwitchSecurityModule.h"

namespace qor::dpsim {

namespace {

std::unique_ptr<ChannelModule> MakeModule(const std::string& kind) {
  if (kind == "kcp") return std::make_unique<KcpSwitchModule>();
  if (kind == "raw") return std::make_unique<RawModule>();
  if (kind == "swsec") return std::make_unique<SwitchSecurityModule>();
  if (kind == "overlay") return std::make_unique<OverlayModule>();
  if (kind == "vdr") return std::make_unique<RouterModule>();
  return nullptr;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = nibble(text[i]);
    int low = nibble(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<uint8_t>((high << 4) | low));
  }
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line.substr(0, line.find('#')));
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& DefaultChannels() {
  static const std::vector<std::pair<std::string, std::string>> channels = {
      {"qor_vswitch_tkmlink", "kcp"},    // configuration application ("tkmlink.path" of its subtree)
      {"swsec_tkmlink", "swsec"},        // IP discovery's switch-security channel
      {"qor_l2_tkmlink", "overlay"},     // L2 application ("l2" subtree)
      {"qor_l3_tkmlink", "vdr"},         // L3 application ("l3" subtree)
      {"qor_dorl_tkmlink", "raw"},       // firewall filter repository
      {"qor_dorl_si_tkmlink", "raw"},    // service insertion
      {"qor_pathprobe_tkmlink", "raw"},  // packet tracing
      {"sondara_qort_tkmlink", "raw"},   // live tracing
  };
  return channels;
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string* error) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = "missing value for " + arg;
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string channel;
    if (arg == "--root") {
      if (!value(&options.root)) return std::nullopt;
    } else if (arg == "--capture") {
      if (!value(&options.captureDirectory)) return std::nullopt;
    } else if (arg == "--control") {
      if (!value(&options.controlPath)) return std::nullopt;
    } else if (arg == "--config") {
      if (!value(&options.configFile)) return std::nullopt;
    } else if (arg == "--agent-link") {
      options.agentLink = true;
    } else if (arg == "--no-default-channels") {
      options.defaultChannels = false;
    } else if (arg == "--channel") {
      if (!value(&channel)) return std::nullopt;
      auto eq = channel.find('=');
      options.channels.emplace_back(channel.substr(0, eq), eq == std::string::npos ? "raw" : channel.substr(eq + 1));
    } else {
      *error = "unknown option " + arg;
      return std::nullopt;
    }
  }
  if (options.root.empty()) {
    *error = "--root DIR is required";
    return std::nullopt;
  }
  while (options.root.size() > 1 && options.root.back() == '/') options.root.pop_back();
  if (options.controlPath.empty()) options.controlPath = options.root + "/var/run/zantix/qor-dpsim/control";
  return options;
}

Simulator::Simulator(Options options) : _options(std::move(options)) {}

Simulator::~Simulator() {
  _channels.clear();
  _devices.clear();
  _agentLink.reset();
  std::error_code ec;
  std::filesystem::remove(ReadyFilePath(), ec);
}

std::string Simulator::ChannelPath(const std::string& name) const {
  return _options.root + "/var/run/zantix/tkmlink/" + name;
}

std::string Simulator::AgentLinkPath() const {
  return _options.root + "/var/run/zantix/qor-agent/" + AgentLinkServer::kName;
}

std::string Simulator::ReadyFilePath() const {
  return _options.root + "/var/run/zantix/qor-dpsim/ready";
}

bool Simulator::AddChannel(const std::string& name, const std::string& kind, std::string* error) {
  if (name.empty() || name.find('/') != std::string::npos) {
    *error = "bad channel name \"" + name + "\"";
    return false;
  }
  auto module = MakeModule(kind);
  if (!module) {
    *error = "unknown channel kind \"" + kind + "\" for " + name;
    return false;
  }
  _channels.erase(name);  // a later definition replaces an earlier one
  try {
    _channels[name] =
        std::make_unique<Channel>(_context, name, ChannelPath(name), std::move(module), _options.captureDirectory);
  } catch (const std::exception& e) {
    _channels.erase(name);
    *error = "cannot listen on " + ChannelPath(name) + ": " + e.what();
    return false;
  }
  return true;
}

bool Simulator::ReadConfigFile(std::string* error) {
  std::ifstream in(_options.configFile);
  if (!in) {
    *error = "cannot read " + _options.configFile;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    auto words = Words(line);
    if (words.empty()) continue;
    if (words[0] == "channel" && words.size() == 3) {
      _options.channels.emplace_back(words[1], words[2]);
    } else if (words[0] == "vif" && words.size() >= 5) {
      _initialVifs.push_back(words);
    } else {
      *error = _options.configFile + ":" + std::to_string(number) + ": bad directive";
      return false;
    }
  }
  return true;
}

bool Simulator::Setup(std::string* error) {
  if (!_options.configFile.empty() && !ReadConfigFile(error)) return false;
  if (_options.defaultChannels) {
    for (const auto& [name, kind] : DefaultChannels()) {
      if (!AddChannel(name, kind, error)) return false;
    }
  }
  for (const auto& [name, kind] : _options.channels) {
    if (!AddChannel(name, kind, error)) return false;
  }
  try {
    _devices["/dev/fc"] =
        std::make_unique<DeviceServer>(_context, _options.root + "/dev/fc", std::make_unique<FlowCacheDevice>());
    _devices["/dev/vswitch"] =
        std::make_unique<DeviceServer>(_context, _options.root + "/dev/vswitch", std::make_unique<VswitchDevice>());
  } catch (const std::exception& e) {
    *error = std::string("cannot serve the devices: ") + e.what();
    return false;
  }
  if (_options.defaultChannels || _options.agentLink) {
    _agentLink = std::make_unique<AgentLinkServer>(_context, AgentLinkPath(), _options.captureDirectory);
    if (!_agentLink->Start(error)) return false;
  }
  for (const auto& vif : _initialVifs) {
    std::vector<std::string> command = {"vif-connect"};
    command.insert(command.end(), vif.begin() + 1, vif.end());
    auto [ok, reply] = ExecuteHere(command);
    if (!ok) {
      *error = reply;
      return false;
    }
  }
  return true;
}

bool Simulator::WriteReadyFile() {
  std::string path = ReadyFilePath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary);
    out << getpid() << "\n";
    if (!out) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

void Simulator::Run() {
  auto guard = boost::asio::make_work_guard(_context);
  _context.run();
}

void Simulator::Stop() {
  _context.stop();
}

std::pair<bool, std::string> Simulator::Execute(const std::vector<std::string>& words) {
  auto promise = std::make_shared<std::promise<std::pair<bool, std::string>>>();
  auto future = promise->get_future();
  boost::asio::post(_context, [this, words, promise] { promise->set_value(ExecuteHere(words)); });
  if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
    return {false, "simulator is not running"};
  return future.get();
}

std::pair<bool, std::string> Simulator::ExecuteHere(const std::vector<std::string>& words) {
  if (words.empty()) return {false, "empty command"};
  const std::string& name = words[0];
  if (name == "channels") {
    std::ostringstream out;
    for (const auto& [channelName, channel] : _channels) {
      out << channelName << " " << channel->Module().Kind() << " " << channel->Path()
          << " connections=" << channel->Connections().size() << " accepted=" << channel->AcceptedCount() << "\n";
    }
    if (_agentLink) {
      out << AgentLinkServer::kName << " dpmsg " << _agentLink->Path()
          << " connections=" << _agentLink->Connections().size() << " accepted=" << _agentLink->AcceptedCount() << "\n";
    }
    return {true, out.str()};
  }
  if (name == "connections") {
    std::ostringstream out;
    for (const auto& [channelName, channel] : _channels) {
      for (const auto& [id, connection] : channel->Connections()) out << channelName << " " << id << "\n";
    }
    if (_agentLink) {
      for (uint64_t id : _agentLink->Connections()) out << AgentLinkServer::kName << " " << id << "\n";
    }
    return {true, out.str()};
  }
  if (name == "qora-send" || name == "qora-send-raw") return ExecuteAgentLink(words);
  if (name == "devices" || name == "device-fail" || (name == "dump" && words.size() == 2 && _devices.count(words[1]))) {
    return ExecuteDevice(words);
  }
  if (name == "dump" && words.size() == 2 && words[1] == AgentLinkServer::kName && _agentLink &&
      !_channels.count(words[1])) {
    return {true, _agentLink->Dump()};
  }
  if (words.size() < 2) return {false, "usage: " + name + " CHANNEL ..."};
  auto it = _channels.find(words[1]);
  if (it == _channels.end()) return {false, "no channel " + words[1]};
  Channel& channel = *it->second;
  if (name == "dump") return {true, channel.Module().Dump()};

  std::vector<std::vector<uint8_t>> messages;
  if (name == "send") {
    // send CHANNEL HEX: raw bytes to every connection, for malformed input.
    std::vector<uint8_t> bytes;
    if (words.size() != 3 || !ParseHex(words[2], &bytes) || bytes.empty()) return {false, "usage: send CHANNEL HEX"};
    messages.push_back(std::move(bytes));
  } else if (name == "drop-connections") {
    // The kernel side closes the channel: the agent sees its link go down and reopens it.
    size_t count = channel.Connections().size();
    auto connections = channel.Connections();
    for (auto& [id, connection] : connections) connection->Close();
    return {true, "closed " + std::to_string(count) + " connection(s)\n"};
  } else {
    auto result = channel.Module().Command(words, messages);
    if (!result)
      return {false,
              "unknown command or wrong arguments for a " + std::string(channel.Module().Kind()) + " channel: " + name};
    if (!result->first) return *result;
    if (!result->second.empty() && messages.empty()) return *result;
  }
  for (const auto& message : messages) channel.Broadcast(message);
  return {true, "sent " + std::to_string(messages.size()) + " message(s) to " +
                    std::to_string(channel.Connections().size()) + " connection(s)\n"};
}

std::pair<bool, std::string> Simulator::ExecuteAgentLink(const std::vector<std::string>& words) {
  if (!_agentLink) return {false, "the host-agent socket is not served"};
  const std::string& name = words[0];
  bool raw = name == "qora-send-raw";
  if (words.size() < 2 || (raw && words.size() != 2) || words.size() > 4) {
    return {false, raw ? "usage: qora-send-raw HEX" : "usage: qora-send HEX [TYPE [fragment]]"};
  }
  std::vector<uint8_t> bytes;
  if (!ParseHex(words[1], &bytes)) return {false, "bad hex " + words[1]};
  std::vector<uint8_t> frame = std::move(bytes);
  if (!raw) {
    unsigned long type = 1;
    if (words.size() >= 3) {
      char* end = nullptr;
      type = std::strtoul(words[2].c_str(), &end, 0);
      if (words[2].empty() || *end != '\0' || type > 255) return {false, "bad message type " + words[2]};
    }
    if (words.size() == 4 && words[3] != "fragment") return {false, "expected \"fragment\", got " + words[3]};
    if (frame.size() > AgentLinkServer::kMaxFrame - AgentLinkServer::kHeaderLen) return {false, "payload too large"};
    frame = AgentLinkServer::BuildFrame(frame, static_cast<uint8_t>(type), words.size() == 4);
  }
  if (frame.empty()) return {false, "nothing to send"};
  size_t sent = _agentLink->SendToAll(frame);
  if (sent == 0) return {false, "no connection on " + std::string(AgentLinkServer::kName)};
  return {true, "sent " + std::to_string(frame.size()) + " byte(s) to " + std::to_string(sent) + " connection(s)\n"};
}

std::pair<bool, std::string> Simulator::ExecuteDevice(const std::vector<std::string>& words) {
  const std::string& name = words[0];
  if (name == "devices") {
    std::ostringstream out;
    for (const auto& [path, device] : _devices) out << path << " " << device->Path() << "\n";
    return {true, out.str()};
  }
  if (name == "dump") return {true, _devices.at(words[1])->Dump()};
  if (words.size() != 4) return {false, "usage: device-fail DEVICE REQUEST ERRNO"};
  auto it = _devices.find(words[1]);
  if (it == _devices.end()) return {false, "no device " + words[1]};
  char* end = nullptr;
  unsigned long request = std::strtoul(words[2].c_str(), &end, 0);
  if (words[2].empty() || *end != '\0' || request > 0xffffffffUL) return {false, "bad request " + words[2]};
  long error = std::strtol(words[3].c_str(), &end, 0);
  if (words[3].empty() || *end != '\0' || error < 0 || error > 4095) return {false, "bad errno " + words[3]};
  it->second->InjectFailure(static_cast<uint32_t>(request), static_cast<int>(error));
  return {true, error ? "request " + words[2] + " of " + words[1] + " fails with errno " + words[3] + "\n"
                      : "request " + words[2] + " of " + words[1] + " served again\n"};
}

}  // namespace qor::dpsim
