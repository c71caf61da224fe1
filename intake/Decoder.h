// VevUroro::Decoder: turns one database change (MonitorUpdateMsg) into decoded entries for the components that
// receive its object type.
//
// Each object type the agent follows has one decode operation, chosen from a table by type: whole object (the
// firewall, load-balancer, service-insertion and global types), per property (configuration objects: one entry per
// property, set when the new body has it, clear when not), list elements (the overlay and routing tables: one
// entry per changed element) or a special form. Property numbers come from the schema's field annotations. Types
// the table does not list produce nothing and no message.
//
// Bodies that do not parse, missing old bodies, missing values and element-count mismatches are logged (with
// errorCode LCP00028 where they mean the database sent something inconsistent) and only the affected entry is
// skipped.
//
// Stateless: every function may be called from any thread; the Tolvar client calls them on the database library's
// callback thread.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "core/ComponentType.h"
#include "core/TolvarUpdateMsg.h"
#include "intake/Transaction.h"
#include "zantix/qor/tolvar/monitor.pb.h"

namespace VevUroro {

class Decoder {
 public:
  // The entries of one update for a set of receivers, in the order the receivers are listed.
  struct Group {
    std::vector<ComponentType> targets;
    std::list<TolvarUpdateMsg> entries;
  };

  // Decodes one update. Type 0 and types not followed give no group.
  static std::vector<Group> Decode(const zantix::qor::tolvar::MonitorUpdateMsg& update);
  // Decodes one update and appends its entries to each receiver's list in `pending`.
  static void DecodeInto(const zantix::qor::tolvar::MonitorUpdateMsg& update, TransactionEntries& pending);

  // True when the decoder has an operation for the type.
  static bool Decodes(uint32_t objectType);
  // The receivers of the type's entries (empty for a type without an operation).
  static std::vector<ComponentType> Targets(uint32_t objectType);
};

}  // namespace VevUroro
