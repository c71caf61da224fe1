#include "cli/LogLevelCommands.h"

#include <array>

#include "cli/OperatorText.h"
#include "core/Logger.h"
#include "platform/LibraryLogLevels.h"
#include "platform/wft/WorkflowUtil.h"

namespace VevUroro::cli {
namespace {

using qor::ovs::UnixctlReply;

constexpr std::array<const char*, 7> kLevelNames = {"off", "fatal", "error", "warn", "info", "debug", "trace"};

template <std::atomic<int>& Level>
int Get() {
  return Level.load();
}
template <std::atomic<int>& Level>
void Set(int level) {
  Level.store(level);
}

int GetAgent() {
  return GetLogLevel();
}
void SetAgent(int level) {
  SetLogLevel(level);
  qor::platform::library_log_level = level;
}

}  // namespace

const std::vector<LibraryLevel>& LibraryLevels() {
  static const std::vector<LibraryLevel> levels = {
      {"", &GetAgent, &SetAgent},
      {"metrics", &Get<qor::metrics::library_log_level>, &Set<qor::metrics::library_log_level>},
      {"net", &Get<qor::net::library_log_level>, &Set<qor::net::library_log_level>},
      {"rpc", &Get<qor::rpc::library_log_level>, &Set<qor::rpc::library_log_level>},
      {"tolvar", &Get<qor::tolvar::library_log_level>, &Set<qor::tolvar::library_log_level>},
      {"wft", &Get<qor::wft::library_log_level>, &Set<qor::wft::library_log_level>},
      {"sha", &Get<qor::sha::library_log_level>, &Set<qor::sha::library_log_level>},
      {"vessix", &Get<g_vessixLogLevel>, &Set<g_vessixLogLevel>},
      {"upm", &Get<qor::upm::library_log_level>, &Set<qor::upm::library_log_level>},
  };
  return levels;
}

std::string LevelName(int level) {
  if (level >= 0 && level < static_cast<int>(kLevelNames.size())) return kLevelNames[static_cast<size_t>(level)];
  return std::to_string(level);
}

std::optional<int> ParseLevelName(const std::string& name) {
  for (size_t i = 0; i < kLevelNames.size(); ++i) {
    if (name == kLevelNames[i]) return static_cast<int>(i);
  }
  return std::nullopt;
}

UnixctlReply SetLevel(const LibraryLevel& library, const std::string& name) {
  std::string old = LevelName(library.get());
  std::string text = "Setting " + library.Word() + " logging level from " + old + " to " + name;
  std::optional<int> level = ParseLevelName(name);
  if (!level) {
    Logger(LOG_LEVEL_WARN, "CliServer: unknown log level name %1", LoggedArgument(name));
    return UnixctlReply::Error(text + " failed");
  }
  // Logged under whichever of the two levels shows it, so that lowering the agent's level leaves a trace too.
  bool before = LogEnabled(LOG_LEVEL_INFO);
  if (before) Logger(LOG_LEVEL_INFO, "CliServer: setting log level from %1 to %2", old, name);
  library.set(*level);
  if (!before) Logger(LOG_LEVEL_INFO, "CliServer: setting log level from %1 to %2", old, name);
  return UnixctlReply::Ok(text + " successfully");
}

UnixctlReply GetLevel(const LibraryLevel& library) {
  return UnixctlReply::Ok("Current " + library.Word() + " logging level is: " + LevelName(library.get()));
}

UnixctlReply SetTraceLevel(const std::string& value) {
  std::string old = std::to_string(qor::wft::WorkflowUtil::GetTraceLevel());
  std::string text = "Setting vevuroro wft trace level from " + old + " to " + value;
  bool digits = !value.empty() && value.size() <= 3 && value.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoi(value) > 255) {
    Logger(LOG_LEVEL_WARN, "CliServer: invalid trace level %1", LoggedArgument(value));
    return UnixctlReply::Error(text + " failed");
  }
  Logger(LOG_LEVEL_INFO, "CliServer: setting trace level from %1 to %2", old, value);
  qor::wft::WorkflowUtil::SetTraceLevel(static_cast<uint8_t>(std::stoi(value)));
  return UnixctlReply::Ok(text + " successfully");
}

UnixctlReply GetTraceLevel() {
  return UnixctlReply::Ok("Current vevuroro wft trace level is: " +
                          std::to_string(qor::wft::WorkflowUtil::GetTraceLevel()));
}

}  // namespace VevUroro::cli
