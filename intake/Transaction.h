// The unit the Tolvar client hands to the dispatcher: the decoded entries of one database transaction grouped by
// component id (ascending), plus (full-sync flag, transaction id). Plain values, moved through the update queue.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <utility>

#include "core/ComponentType.h"
#include "core/MsgQueue.h"
#include "core/TolvarUpdateMsg.h"

namespace VevUroro {

using TransactionEntries = std::map<ComponentType, std::list<TolvarUpdateMsg>>;
// first: entries by component; second: (full sync, transaction id).
using Transaction = std::pair<TransactionEntries, std::pair<bool, unsigned long>>;
// Created at start-up (unbounded, blocking both ways); the Tolvar client is the only producer, the dispatcher loop
// the only consumer.
using UpdateQueue = MsgQueue<Transaction>;

inline std::shared_ptr<UpdateQueue> MakeUpdateQueue() {
  return std::make_shared<UpdateQueue>(UpdateQueue::kUnbounded, true, true);
}

}  // namespace VevUroro
