// Turns one list of modify requests into the object changes it makes, against the committed objects plus the
// changes of the earlier requests of the same list. Nothing is committed here: the caller commits all changes
// at once, or none when any request fails (a request list is one atomic transaction).
//
// Requests are validated completely: unknown types, bodies that do not parse, objects without an id, patches of
// missing objects or of properties the type does not have, list properties holding two elements with the same key
// (ElementKey: a list is a set keyed by its elements' keys), objects over the size bound (an update carries the body
// before and after in one frame) and vdbs outside 16 bits fail the whole list, with an
// error naming the request and the object. Puts that change nothing produce no change; deleting a missing object
// and removing an element whose key is absent are no-ops; appending an element whose key is present replaces that
// element (a no-op when it is equal).
//
// Single-threaded (the server's thread); holds a reference to the store for its lifetime.
#pragma once

#include <google/protobuf/message.h>
#include <google/protobuf/repeated_ptr_field.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/tolvard/ObjectStore.h"
#include "zantix/qor/tolvar/monitor.pb.h"

namespace qor::tolvar {

class TransactionApplier {
 public:
  // `sessionVdb` stands for requests that carry no vdb. An object body may hold at most `maxBody` bytes.
  TransactionApplier(const ObjectStore& store, uint32_t sessionVdb, size_t maxBody)
      : _store(store), _sessionVdb(sessionVdb), _maxBody(maxBody) {}

  bool Apply(const google::protobuf::RepeatedPtrField<zantix::qor::tolvar::ModifyRequestMsg>& requests,
             std::vector<ObjectChange>* changes, std::string* error);

 private:
  // The object patched by the current run of patches: parsed once, with the positions of its list elements by key
  // (per list, built when first needed), serialized when the run ends.
  struct Working {
    ObjectKey key;
    std::unique_ptr<google::protobuf::Message> object;
    size_t lastRequest = 0;
    std::map<const google::protobuf::FieldDescriptor*, std::unordered_map<std::string, int>> index;
  };

  std::optional<std::string> Current(const ObjectKey& key) const;
  bool WithinBound(const ObjectKey& key, const std::string& body, std::string* error) const;
  // Ends the run of patches, if any: its object becomes the new body of the run's change (the last one), or the
  // change goes when the run left the object as it was.
  bool Settle(std::vector<ObjectChange>* changes, std::string* error);
  std::unordered_map<std::string, int>& Positions(const google::protobuf::FieldDescriptor* field);
  // Stages the object's new body (nullopt: removed); false when the body is over the size bound.
  bool Record(const ObjectKey& key, std::optional<std::string> newBody, std::vector<ObjectChange>* changes,
              std::string* error);
  bool ApplyPut(const zantix::qor::tolvar::PutMsg& put, std::vector<ObjectChange>* changes, std::string* error);
  bool ApplyPatch(const zantix::qor::tolvar::PatchMsg& patch, std::vector<ObjectChange>* changes, std::string* error);
  bool ApplyDelete(const zantix::qor::tolvar::DeleteMsg& del, std::vector<ObjectChange>* changes, std::string* error);
  bool ApplyFlush(const zantix::qor::tolvar::FlushMsg& flush, std::vector<ObjectChange>* changes, std::string* error);
  bool Vdb(bool has, uint32_t vdb, uint32_t* out, std::string* error) const;

  const ObjectStore& _store;
  uint32_t _sessionVdb;
  size_t _maxBody;
  // Objects changed by earlier requests of the list: nullopt = removed. A run's object is staged when it ends.
  std::map<ObjectKey, std::optional<std::string>> _staged;
  std::optional<Working> _working;
  size_t _request = 0;              // index of the request being applied
  bool _errorNamesRequest = false;  // the error names its request already (a run that ended over the bound)
};

}  // namespace qor::tolvar
