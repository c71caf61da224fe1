#include "cli/RecordText.h"

#include <arpa/inet.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>

#include <cstdio>
#include <memory>

#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/common.pb.h"

namespace VevUroro::cli {
namespace {

namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;

using Generator = pb::TextFormat::BaseTextGenerator;

// UUIDs, addresses and MACs print as "name: text" instead of "name { high: ... low: ... }".
class AddressPrinter : public pb::TextFormat::FastFieldValuePrinter {
 public:
  void PrintMessageStart(const pb::Message& message, int index, int count, bool singleLine,
                         Generator* generator) const override {
    if (Readable(message).empty()) {
      FastFieldValuePrinter::PrintMessageStart(message, index, count, singleLine, generator);
    } else {
      generator->PrintLiteral(": ");
    }
  }
  bool PrintMessageContent(const pb::Message& message, int, int, bool, Generator* generator) const override {
    std::string text = Readable(message);
    if (text.empty()) return false;
    generator->PrintString(text);
    return true;
  }
  void PrintMessageEnd(const pb::Message& message, int index, int count, bool singleLine,
                       Generator* generator) const override {
    if (Readable(message).empty()) {
      FastFieldValuePrinter::PrintMessageEnd(message, index, count, singleLine, generator);
    } else {
      generator->PrintLiteral(" ");
    }
  }

 private:
  static std::string Readable(const pb::Message& message) {
    const pb::Descriptor* descriptor = message.GetDescriptor();
    if (descriptor == tv::UuidMsg::descriptor()) return UuidText(static_cast<const tv::UuidMsg&>(message));
    if (descriptor == tv::IpAddressMsg::descriptor()) return IpText(static_cast<const tv::IpAddressMsg&>(message));
    if (descriptor == tv::MacAddressMsg::descriptor()) return MacText(static_cast<const tv::MacAddressMsg&>(message));
    return {};
  }
};

const pb::TextFormat::Printer& Printer() {
  static const pb::TextFormat::Printer* printer = [] {
    auto* p = new pb::TextFormat::Printer();
    p->SetSingleLineMode(true);
    p->SetDefaultFieldValuePrinter(new AddressPrinter());
    return p;
  }();
  return *printer;
}

// The message class the value of `record` is made of: the element's class for a list property, else the object's.
const pb::Message* ValuePrototype(const StateCacheRecord& record) {
  const pb::Descriptor* descriptor = qor::tolvar::ObjectDescriptor(record.objectType);
  if (!descriptor) return nullptr;
  if (record.propertyType != 0) {
    const pb::FieldDescriptor* field = qor::tolvar::PropertyField(descriptor, record.propertyType);
    if (field && field->is_repeated() && field->message_type()) descriptor = field->message_type();
  }
  return pb::MessageFactory::generated_factory()->GetPrototype(descriptor);
}

}  // namespace

std::string IpText(const tv::IpAddressMsg& ip) {
  char text[INET6_ADDRSTRLEN] = "";
  if (ip.has_ipv4()) {
    uint32_t v4 = htonl(ip.ipv4());
    inet_ntop(AF_INET, &v4, text, sizeof text);
  } else if (ip.ipv6().size() == 16) {
    inet_ntop(AF_INET6, ip.ipv6().data(), text, sizeof text);
  } else if (ip.has_ipv6()) {
    return "<bad ipv6 of " + std::to_string(ip.ipv6().size()) + " bytes>";
  }
  return text;
}

std::string MacText(const tv::MacAddressMsg& mac) {
  char text[18];
  uint64_t v = mac.mac();
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", static_cast<unsigned>((v >> 40) & 0xff),
                static_cast<unsigned>((v >> 32) & 0xff), static_cast<unsigned>((v >> 24) & 0xff),
                static_cast<unsigned>((v >> 16) & 0xff), static_cast<unsigned>((v >> 8) & 0xff),
                static_cast<unsigned>(v & 0xff));
  return text;
}

std::string UuidText(const tv::UuidMsg& id) {
  return qor::tolvar::UuidToString(id.high(), id.low());
}

std::string MessageText(const pb::Message& message) {
  std::string text;
  Printer().PrintToString(message, &text);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string ObjectIdText(const StateCacheRecord& record) {
  return qor::tolvar::ObjectIdText(record.objectType, record.objectId);
}

bool ParseValue(const StateCacheRecord& record, pb::Message* out) {
  const pb::Message* prototype = ValuePrototype(record);
  if (!prototype || prototype->GetDescriptor() != out->GetDescriptor()) return false;
  return out->ParseFromString(record.value);
}

std::string ValueText(const StateCacheRecord& record) {
  if (record.value.empty()) return "";
  const pb::Message* prototype = ValuePrototype(record);
  if (!prototype) return "<unparsable>";
  std::unique_ptr<pb::Message> value(prototype->New());
  if (!value->ParseFromString(record.value)) return "<unparsable>";
  return MessageText(*value);
}

}  // namespace VevUroro::cli
