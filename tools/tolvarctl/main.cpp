// tolvarctl: command-line client of tolvard. Objects are read and written in protobuf's JSON mapping.
#include <google/protobuf/any.pb.h>
#include <google/protobuf/util/json_util.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "platform/LibraryLogLevels.h"
#include "platform/tolvar/TolvarDbClient.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/common.pb.h"
#include "zantix/qor/tolvar/scenario.pb.h"

namespace {

namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;
using qor::tolvar::TolvarDbClient;

const char* kTypePrefix = "type.googleapis.com/";

const char* kUsage =
    "Usage: tolvarctl [--server tcp:HOST:PORT] [--vdb N] [--timeout SECONDS] COMMAND [ARGS]\n"
    "\n"
    "Commands (tolvarctl COMMAND --help for each):\n"
    "  put TYPE JSON                     write one object\n"
    "  patch TYPE ID PROPERTY OP [JSON]  change one property: OP is set, clear, append or remove\n"
    "  delete TYPE ID                    remove one object\n"
    "  flush TYPE [VDB...]               remove every object of TYPE in the vdbs (default --vdb)\n"
    "  get TYPE ID                       print one object\n"
    "  dump [TYPE...]                    print every object of the vdb (or of the types) as a loadable file\n"
    "  watch [TYPE...]                   print updates and barriers as they arrive (Ctrl-C ends)\n"
    "  load FILE                         apply a file of typed objects as one transaction\n"
    "  echo TEXT                         round trip through tolvard\n"
    "\n"
    "Options:\n"
    "  --server tcp:HOST:PORT  the tolvard to talk to (default $TOLVAR_SERVER, else tcp:127.0.0.1:2480)\n"
    "  --vdb N                 the data path the command works on (default 1)\n"
    "  --timeout SECONDS       how long one request may take\n"
    "  --help                  this text\n"
    "  --version               the build number\n"
    "\n"
    "TYPE is an object type name (LOG_SWITCH_PORT_CONFIG) or number; ID is the UUID text for UUID ids, the text\n"
    "for text ids.\n";

const std::map<std::string, std::string> kCommandHelp = {
    {"put",
     "Usage: tolvarctl put TYPE JSON\n  Writes the object given as the JSON mapping of TYPE's message; replaces an "
     "object with the same id.\n"},
    {"patch",
     "Usage: tolvarctl patch TYPE ID PROPERTY OP [JSON]\n  PROPERTY: name (L2_VTEP) or number. OP set: JSON is an "
     "object of TYPE holding the property;\n  clear: no JSON; append/remove: JSON is one list element.\n"},
    {"delete", "Usage: tolvarctl delete TYPE ID\n  Removes the object; removing a missing object is not an error.\n"},
    {"flush", "Usage: tolvarctl flush TYPE [VDB...]\n  Removes every object of TYPE in each VDB (default: --vdb).\n"},
    {"get", "Usage: tolvarctl get TYPE ID\n  Prints the object as JSON; exit status 1 when it does not exist.\n"},
    {"dump",
     "Usage: tolvarctl dump [TYPE...]\n  Prints every object of the vdb (or of the given types) as a file that "
     "tolvarctl load accepts.\n"},
    {"watch",
     "Usage: tolvarctl watch [TYPE...]\n  Monitors the vdb (or the types) and prints each update and barrier as it "
     "arrives;\n  the initial state comes first, ended by a barrier.\n"},
    {"load",
     "Usage: tolvarctl load FILE\n  FILE: {\"objects\": [{\"vdb\": 1, \"object\": {\"@type\": "
     "\"type.googleapis.com/zantix.qor.tolvar.LogSwitchConfigMsg\", ...}}]}\n  All objects are written in one "
     "transaction: all or none.\n"},
    {"echo", "Usage: tolvarctl echo TEXT\n  Sends TEXT to tolvard and prints the answer.\n"},
};

struct Options {
  std::string server = "tcp:127.0.0.1:2480";
  uint32_t vdb = 1;
  int timeoutSeconds = 30;
};

int Fail(const std::string& message) {
  std::cerr << "tolvarctl: " << message << std::endl;
  return 1;
}

std::string ToJson(const pb::Message& message, bool pretty = false) {
  std::string out;
  pb::util::JsonPrintOptions options;
  options.add_whitespace = pretty;
  options.preserve_proto_field_names = true;
  auto status = pb::util::MessageToJsonString(message, &out, options);
  if (!status.ok()) return "<" + status.ToString() + ">";
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

bool FromJson(const std::string& json, pb::Message* message, std::string* error) {
  auto status = pb::util::JsonStringToMessage(json, message);
  if (!status.ok()) {
    *error = std::string(status.message());
    return false;
  }
  return true;
}

std::optional<uint32_t> Type(const std::string& text) {
  std::optional<uint32_t> type = qor::tolvar::ParseObjectType(text);
  if (!type) std::cerr << "tolvarctl: unknown object type " << text << std::endl;
  return type;
}

// The id bytes of TYPE from the command-line text.
bool IdBytes(uint32_t type, const std::string& text, std::string* id) {
  const pb::FieldDescriptor* field = qor::tolvar::ObjectDescriptor(type)->FindFieldByNumber(1);
  if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_STRING) {
    *id = text;
    return true;
  }
  if (field->message_type() == tv::UuidMsg::descriptor()) {
    tv::UuidMsg uuid;
    uint64_t high, low;
    if (!qor::tolvar::ParseUuid(text, &high, &low)) {
      std::cerr << "tolvarctl: " << text << " is not a UUID" << std::endl;
      return false;
    }
    uuid.set_high(high);
    uuid.set_low(low);
    *id = qor::tolvar::DeterministicBytes(uuid);
    return true;
  }
  std::unique_ptr<pb::Message> message(
      pb::MessageFactory::generated_factory()->GetPrototype(field->message_type())->New());
  std::string error;
  if (!FromJson(text, message.get(), &error)) {
    std::cerr << "tolvarctl: id of " << qor::tolvar::ObjectTypeName(type) << ": " << error << std::endl;
    return false;
  }
  *id = qor::tolvar::DeterministicBytes(*message);
  return true;
}

std::unique_ptr<TolvarDbClient> Connect(const Options& options) {
  auto client = std::make_unique<TolvarDbClient>("tolvarctl", options.server, nullptr, nullptr, false, false, false);
  client->SetCallTimeout(std::chrono::seconds(options.timeoutSeconds));
  client->SelectVdb(options.vdb);
  client->StartAsync();
  return client;
}

// Empty when tolvard answers, otherwise why not: a server that is down answers at once with "cannot connect to
// HOST:PORT: Connection refused".
std::string Unreachable(TolvarDbClient& client) {
  std::string reply;
  qor::rpc::Status status = client.Echo("", &reply);
  return status.ok() ? std::string() : status.message();
}

int Modify(const Options& options, std::vector<tv::ModifyRequestMsg> requests,
           const std::function<std::string(const std::string&)>& explain = nullptr) {
  auto client = Connect(options);
  qor::rpc::Status status = client->Modify(std::move(requests));
  if (!status.ok()) {
    std::string message = status.message();
    if (explain) message = explain(message);
    return Fail(message.empty() ? "modify failed (code " + std::to_string(status.code()) + ")" : message);
  }
  return 0;
}

tv::MonitorStatementMsg Statement(uint32_t type) {
  tv::MonitorStatementMsg statement;
  statement.mutable_statement()->set_object_type(static_cast<tv::ObjectType>(type));
  return statement;
}

std::string ObjectJson(uint32_t type, const std::string& body, bool pretty = false) {
  std::unique_ptr<pb::Message> object = qor::tolvar::NewObject(type);
  if (!object || !object->ParseFromString(body)) return "<unparsable body>";
  return ToJson(*object, pretty);
}

int CmdPut(const Options& options, const std::vector<std::string>& args) {
  if (args.size() != 2) return Fail("put needs TYPE JSON");
  auto type = Type(args[0]);
  if (!type) return 1;
  std::unique_ptr<pb::Message> object = qor::tolvar::NewObject(*type);
  std::string error;
  if (!FromJson(args[1], object.get(), &error)) return Fail(qor::tolvar::ObjectTypeName(*type) + ": " + error);
  tv::ModifyRequestMsg request;
  tv::PutMsg* put = request.mutable_modify()->mutable_put();
  put->mutable_object()->set_object_type(static_cast<tv::ObjectType>(*type));
  put->mutable_object()->set_object_body(object->SerializeAsString());
  put->set_vdb(options.vdb);
  return Modify(options, {request});
}

int CmdPatch(const Options& options, const std::vector<std::string>& args) {
  if (args.size() < 4 || args.size() > 5) return Fail("patch needs TYPE ID PROPERTY OP [JSON]");
  auto type = Type(args[0]);
  if (!type) return 1;
  tv::ModifyRequestMsg request;
  tv::PatchMsg* patch = request.mutable_modify()->mutable_patch();
  patch->set_object_type(static_cast<tv::ObjectType>(*type));
  std::string id;
  if (!IdBytes(*type, args[1], &id)) return 1;
  patch->set_object_id(id);
  auto property = qor::tolvar::ParsePropertyType(args[2]);
  const pb::FieldDescriptor* field =
      property ? qor::tolvar::PropertyField(qor::tolvar::ObjectDescriptor(*type), *property) : nullptr;
  if (!field) return Fail(qor::tolvar::ObjectTypeName(*type) + " has no property " + args[2]);
  patch->set_property_type(*property);
  static const std::map<std::string, tv::Operation> ops = {
      {"set", tv::SET}, {"clear", tv::CLEAR}, {"append", tv::APPEND}, {"remove", tv::REMOVE}};
  auto op = ops.find(args[3]);
  if (op == ops.end()) return Fail("unknown operation " + args[3] + " (set, clear, append, remove)");
  patch->set_op(op->second);
  patch->set_vdb(options.vdb);
  if (op->second != tv::CLEAR) {
    if (args.size() != 5) return Fail(args[3] + " needs a JSON value");
    std::unique_ptr<pb::Message> value;
    if (op->second == tv::SET) {
      value = qor::tolvar::NewObject(*type);
    } else {
      if (!field->is_repeated() || !field->message_type()) return Fail(args[2] + " is not a list property");
      value.reset(pb::MessageFactory::generated_factory()->GetPrototype(field->message_type())->New());
    }
    std::string error;
    if (!FromJson(args[4], value.get(), &error)) return Fail("value: " + error);
    patch->set_value(value->SerializeAsString());
  }
  return Modify(options, {request});
}

int CmdDelete(const Options& options, const std::vector<std::string>& args) {
  if (args.size() != 2) return Fail("delete needs TYPE ID");
  auto type = Type(args[0]);
  if (!type) return 1;
  tv::ModifyRequestMsg request;
  tv::DeleteMsg* del = request.mutable_modify()->mutable_delete_();
  del->mutable_object()->set_object_type(static_cast<tv::ObjectType>(*type));
  std::string id;
  if (!IdBytes(*type, args[1], &id)) return 1;
  del->mutable_object()->set_object_id(id);
  del->set_vdb(options.vdb);
  return Modify(options, {request});
}

int CmdFlush(const Options& options, const std::vector<std::string>& args) {
  if (args.empty()) return Fail("flush needs TYPE [VDB...]");
  auto type = Type(args[0]);
  if (!type) return 1;
  tv::ModifyRequestMsg request;
  tv::FlushMsg* flush = request.mutable_modify()->mutable_flush();
  flush->set_object_type(static_cast<tv::ObjectType>(*type));
  for (size_t i = 1; i < args.size(); ++i) flush->add_vdbs(static_cast<uint32_t>(std::stoul(args[i])));
  if (args.size() == 1) flush->add_vdbs(options.vdb);
  return Modify(options, {request});
}

int CmdGet(const Options& options, const std::vector<std::string>& args) {
  if (args.size() != 2) return Fail("get needs TYPE ID");
  auto type = Type(args[0]);
  if (!type) return 1;
  tv::ObjectRequestMsg request;
  request.set_object_type(static_cast<tv::ObjectType>(*type));
  std::string id;
  if (!IdBytes(*type, args[1], &id)) return 1;
  request.set_object_id(id);
  auto client = Connect(options);
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  int rc = 1;
  client->GetAsync(
      {request},
      [&](const std::vector<tv::TypedObjectMsg>& objects, const qor::rpc::Status& status) {
        if (!status.ok()) {
          std::cerr << "tolvarctl: get failed: " << status.message() << std::endl;
        } else if (objects.empty()) {
          std::cerr << "tolvarctl: no " << qor::tolvar::ObjectTypeName(*type) << " " << args[1] << " in vdb "
                    << options.vdb << std::endl;
        } else {
          std::cout << ObjectJson(*type, objects[0].object_body(), true) << std::endl;
          rc = 0;
        }
        std::lock_guard lock(mutex);
        done = true;
        cv.notify_all();
      },
      options.vdb);
  std::unique_lock lock(mutex);
  if (!cv.wait_for(lock, std::chrono::seconds(options.timeoutSeconds), [&] { return done; })) {
    return Fail("no answer from " + options.server);
  }
  return rc;
}

std::vector<uint32_t> Types(const std::vector<std::string>& args, bool* ok) {
  std::vector<uint32_t> types;
  *ok = true;
  for (const auto& arg : args) {
    auto type = Type(arg);
    if (!type) *ok = false;
    if (type) types.push_back(*type);
  }
  if (args.empty()) types = qor::tolvar::AllObjectTypes();
  return types;
}

int CmdDump(const Options& options, const std::vector<std::string>& args) {
  bool ok;
  std::vector<uint32_t> types = Types(args, &ok);
  if (!ok) return 1;
  auto client = std::make_unique<TolvarDbClient>("tolvarctl", options.server, nullptr, nullptr, false, false, false);
  std::mutex mutex;
  std::condition_variable cv;
  bool barrier = false;
  tv::ScenarioMsg scenario;
  client->RegisterCallbacks(
      1,
      [&](const tv::MonitorUpdateMsg& update) {
        uint32_t type = static_cast<uint32_t>(update.object_type());
        std::unique_ptr<pb::Message> object = qor::tolvar::NewObject(type);
        if (!object || !object->ParseFromString(update.new_object_body())) return;
        tv::ScenarioObjectMsg* entry = scenario.add_objects();
        entry->set_vdb(options.vdb);
        entry->mutable_object()->PackFrom(*object);
      },
      [&] {
        std::lock_guard lock(mutex);
        barrier = true;
        cv.notify_all();
      },
      options.vdb);
  std::vector<tv::MonitorStatementMsg> statements;
  for (uint32_t type : types) statements.push_back(Statement(type));
  if (!client->ConfigureMonitors(statements, {}, 1, options.vdb)) return Fail("cannot monitor the types");
  std::string unreachable = Unreachable(*Connect(options));
  if (!unreachable.empty()) return Fail(unreachable);
  client->StartAsync();
  std::unique_lock lock(mutex);
  if (!cv.wait_for(lock, std::chrono::seconds(options.timeoutSeconds), [&] { return barrier; })) {
    return Fail("no snapshot from " + options.server);
  }
  std::cout << ToJson(scenario, true) << std::endl;
  return 0;
}

std::string ElementOps(uint32_t type, const std::string& opBytes, std::string* opName) {
  std::unique_ptr<pb::Message> op = qor::tolvar::NewOp(type);
  if (!op || !op->ParseFromString(opBytes)) return "";
  const pb::Reflection* reflection = op->GetReflection();
  *opName =
      tv::Operation_Name(static_cast<tv::Operation>(reflection->GetEnumValue(*op, op->GetDescriptor()->field(0))));
  std::string out;
  for (int i = 1; i < op->GetDescriptor()->field_count(); ++i) {
    const pb::FieldDescriptor* field = op->GetDescriptor()->field(i);
    for (int j = 0; j < reflection->FieldSize(*op, field); ++j) {
      const pb::Message& element = reflection->GetRepeatedMessage(*op, field, j);
      const pb::Reflection* er = element.GetReflection();
      const pb::Descriptor* ed = element.GetDescriptor();
      out += " " +
             tv::Operation_Name(static_cast<tv::Operation>(er->GetEnumValue(element, ed->FindFieldByName("op")))) +
             " " + qor::tolvar::PropertyTypeName(qor::tolvar::PropertyOf(field)) + "[" +
             std::to_string(er->GetUInt32(element, ed->FindFieldByName("index"))) + "]";
    }
  }
  return out;
}

std::atomic<bool> g_stop{false};

int CmdWatch(const Options& options, const std::vector<std::string>& args) {
  bool ok;
  std::vector<uint32_t> types = Types(args, &ok);
  if (!ok) return 1;
  // Watching outlives restarts of the server, but one that is down at the start is an error.
  std::string unreachable = Unreachable(*Connect(options));
  if (!unreachable.empty()) return Fail(unreachable);
  auto client = std::make_unique<TolvarDbClient>("tolvarctl", options.server, nullptr, nullptr, true, true, false);
  client->RegisterChannelStatusCallback(
      [](bool up) { std::cout << (up ? "CHANNEL UP" : "CHANNEL DOWN") << std::endl; });
  client->RegisterCallbacks(
      1,
      [](const tv::MonitorUpdateMsg& update) {
        uint32_t type = static_cast<uint32_t>(update.object_type());
        std::string opName = "?";
        std::string elements = ElementOps(type, update.op_message(), &opName);
        std::cout << "UPDATE " << qor::tolvar::ObjectTypeName(type) << " " << opName << elements << "\n";
        if (!update.new_object_body().empty() || !update.has_old_object_body()) {
          std::cout << "  new: " << ObjectJson(type, update.new_object_body()) << "\n";
        }
        if (update.has_old_object_body()) std::cout << "  old: " << ObjectJson(type, update.old_object_body()) << "\n";
        std::cout.flush();
      },
      [] { std::cout << "BARRIER" << std::endl; }, options.vdb);
  std::vector<tv::MonitorStatementMsg> statements;
  for (uint32_t type : types) statements.push_back(Statement(type));
  client->ConfigureMonitors(statements, {}, 1, options.vdb);
  client->StartAsync();
  std::signal(SIGINT, [](int) { g_stop = true; });
  std::signal(SIGTERM, [](int) { g_stop = true; });
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return 0;
}

int CmdLoad(const Options& options, const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail("load needs FILE");
  std::ifstream in(args[0], std::ios::binary);
  if (!in) return Fail("cannot read " + args[0]);
  // Read whole in one go (a stream copy of a file of tens of megabytes costs as much as a tenth of its parse).
  std::string text;
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  in.seekg(0, std::ios::beg);
  if (length > 0) {
    text.resize(static_cast<size_t>(length));
    in.read(text.data(), length);
    text.resize(static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) return Fail("cannot read " + args[0]);
  tv::ScenarioMsg scenario;
  std::string error;
  if (!FromJson(text, &scenario, &error)) return Fail(args[0] + ": " + error);
  std::vector<tv::ModifyRequestMsg> requests;
  requests.reserve(static_cast<size_t>(scenario.objects_size()));
  std::unique_ptr<pb::Message> object;
  uint32_t objectType = 0;
  for (int i = 0; i < scenario.objects_size(); ++i) {
    const tv::ScenarioObjectMsg& entry = scenario.objects(i);
    const std::string& typeUrl = entry.object().type_url();
    std::string name = typeUrl.rfind(kTypePrefix, 0) == 0 ? typeUrl.substr(strlen(kTypePrefix)) : typeUrl;
    const pb::Descriptor* descriptor = pb::DescriptorPool::generated_pool()->FindMessageTypeByName(name);
    uint32_t type = descriptor ? qor::tolvar::ObjectTypeOf(descriptor) : 0;
    std::string where = args[0] + ": object " + std::to_string(i);
    if (type == 0) return Fail(where + " (" + (name.empty() ? "no @type" : name) + ") is not a database object");
    // One message per run of objects of one type, parsed into again: a file holds thousands of each.
    if (!object || objectType != type) {
      object = qor::tolvar::NewObject(type);
      objectType = type;
    }
    if (!entry.object().UnpackTo(object.get())) return Fail(where + " (" + name + ") does not unpack");
    std::string id;
    if (!qor::tolvar::ObjectIdBytes(*object, &id) || id.empty()) {
      return Fail(where + " (" + qor::tolvar::ObjectTypeName(type) + ") has no id");
    }
    tv::ModifyRequestMsg request;
    tv::PutMsg* put = request.mutable_modify()->mutable_put();
    put->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
    // The packed bytes are the object's serialization already (and tolvard stores its own canonical form).
    put->mutable_object()->set_object_body(entry.object().value());
    put->set_vdb(entry.has_vdb() ? entry.vdb() : options.vdb);
    requests.push_back(std::move(request));
  }
  const size_t count = requests.size();
  // The requests go to the client whole (not copied); request i is object i of the file.
  int rc = Modify(options, std::move(requests), [&](const std::string& message) {
    // tolvard names the failing request by index: name the object of the file as well.
    if (message.rfind("request ", 0) == 0) {
      size_t index = std::strtoul(message.c_str() + 8, nullptr, 10);
      if (index < count) {
        const std::string& typeUrl = scenario.objects(static_cast<int>(index)).object().type_url();
        std::string name = typeUrl.rfind(kTypePrefix, 0) == 0 ? typeUrl.substr(strlen(kTypePrefix)) : typeUrl;
        const pb::Descriptor* descriptor = pb::DescriptorPool::generated_pool()->FindMessageTypeByName(name);
        uint32_t type = descriptor ? qor::tolvar::ObjectTypeOf(descriptor) : 0;
        std::unique_ptr<pb::Message> failed = qor::tolvar::NewObject(type);
        std::string id;
        if (failed) failed->ParseFromString(scenario.objects(static_cast<int>(index)).object().value());
        if (failed) qor::tolvar::ObjectIdBytes(*failed, &id);
        return args[0] + ": object " + std::to_string(index) + " (" + qor::tolvar::ObjectTypeName(type) + " " +
               qor::tolvar::ObjectIdText(type, id) + "): " + message;
      }
    }
    return message;
  });
  if (rc == 0) std::cout << "loaded " << count << " objects" << std::endl;
  return rc;
}

int CmdEcho(const Options& options, const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail("echo needs TEXT");
  auto client = Connect(options);
  std::string reply;
  qor::rpc::Status status = client->Echo(args[0], &reply);
  if (!status.ok()) return Fail("echo failed: " + status.message());
  std::cout << reply << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Connection notices of the client library would only clutter the output; errors still show.
  qor::tolvar::library_log_level = VevUroro::LOG_LEVEL_ERROR;
  Options options;
  if (const char* server = std::getenv("TOLVAR_SERVER")) options.server = server;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--version") {
      std::cout << "tolvarctl " << QOR_BUILD_NUMBER << "\n";
      return 0;
    } else if (arg == "--server" && i + 1 < argc) {
      options.server = argv[++i];
    } else if (arg == "--vdb" && i + 1 < argc) {
      options.vdb = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--timeout" && i + 1 < argc) {
      options.timeoutSeconds = std::atoi(argv[++i]);
    } else if (arg.rfind("--", 0) == 0) {
      std::cerr << "tolvarctl: unknown option " << arg << "\n" << kUsage;
      return 2;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::cerr << kUsage;
    return 2;
  }
  std::string command = argv[i++];
  std::vector<std::string> args(argv + i, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    auto help = kCommandHelp.find(command);
    if (help == kCommandHelp.end()) {
      std::cerr << "tolvarctl: unknown command " << command << "\n" << kUsage;
      return 2;
    }
    std::cout << help->second;
    return 0;
  }
  static const std::map<std::string, int (*)(const Options&, const std::vector<std::string>&)> commands = {
      {"put", CmdPut},   {"patch", CmdPatch}, {"delete", CmdDelete}, {"flush", CmdFlush}, {"get", CmdGet},
      {"dump", CmdDump}, {"watch", CmdWatch}, {"load", CmdLoad},     {"echo", CmdEcho}};
  auto it = commands.find(command);
  if (it == commands.end()) {
    std::cerr << "tolvarctl: unknown command " << command << "\n" << kUsage;
    return 2;
  }
  return it->second(options, args);
}
