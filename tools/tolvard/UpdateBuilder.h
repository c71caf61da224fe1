// Monitor updates of one object change: the object-level operation and, per list property, the element
// operations of exactly the elements added and removed. Elements are matched by their key (ElementKey): an element
// whose key stays but whose content changed is removed and inserted again.
//
// The object-level operation is SET for a created object or one whose non-list content changed, CLEAR for a
// removed one, and UPDATE when only list elements changed. Element indexes point into the old body's list (REMOVE)
// or the new body's list (INSERT). Removals come before insertions.
//
// Stateless apart from the computed diff; single-threaded use.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/tolvard/ObjectStore.h"
#include "zantix/qor/tolvar/monitor.pb.h"

namespace qor::tolvar {

class ChangeDiff {
 public:
  struct ElementOp {
    uint32_t property;
    zantix::qor::tolvar::Operation op;
    uint32_t index;
  };

  explicit ChangeDiff(const ObjectChange& change);

  // The update as seen by a monitor following the list properties in `followed` (every list when nullptr).
  zantix::qor::tolvar::MonitorUpdateMsg Update(const std::set<uint32_t>* followed) const;

  // Bytes of the largest update this change can produce: this update with every list followed, or, for a change of
  // an existing object, the update that brings the new object to a monitor registered later (the new body with one
  // INSERT per element), whichever is larger. Envelope fields are estimated generously.
  size_t LargestUpdateBytes() const;

  zantix::qor::tolvar::Operation Op() const { return _op; }
  const std::vector<ElementOp>& ElementOps() const { return _elementOps; }

 private:
  std::string OpMessage(const std::set<uint32_t>* followed) const;

  const ObjectChange& _change;
  zantix::qor::tolvar::Operation _op = zantix::qor::tolvar::INVALID;
  std::vector<ElementOp> _elementOps;
  std::string _allOps;           // op message with every list, computed once
  size_t _snapshotOpsBytes = 0;  // op message of the new object as a monitor's initial state would carry it
};

}  // namespace qor::tolvar
