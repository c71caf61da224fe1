// VevUroro::IKCPMsgConvertor: packs configuration batches into KCP Update messages for the virtual switch and hands
// them to the datapath link.
//
// Every operation returns true when every message of its batch was handed to the link. A batch that does not fit
// one message is cut into pieces; each piece repeats the header of the entity it continues, and every piece but the
// last of a batch carries the "more" flag, so that the datapath applies the batch as one. Nothing is retried: a
// failed or partial batch is repaired by the next resync or full sync.
//
// Held by qor::RefPtr. Stateless between calls apart from the link and an open batch; callable from any thread (the
// link serialises its writes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apps/config/DVSProperty.h"
#include "dataplane/kcp/KcpMessage.h"
#include "platform/RefCounted.h"

namespace VevUroro {

// The encoded property block (EncodeProperties) of one switch.
struct SwitchPropertyBlock {
  std::string switchId;
  std::string properties;
};

class IKCPMsgConvertor : public qor::IRefCountable {
 public:
  // Port Property Update (kind DVS_ENTITY_PORT) or Tkmnic Property Update (other kinds). No entities: nothing is
  // sent, and that is success.
  virtual bool SendEntityUpdate(const DVSEntityUpdate& update) = 0;
  // VDS Property Update per switch with `operation` (1 UPDATE, 2 DELETE, 3 FULL SYNC).
  virtual bool SendSwitchPropertyUpdate(uint8_t operation, const std::vector<SwitchPropertyBlock>& blocks) = 0;
  // VDS List Update (the switch-list full sync).
  virtual bool SendSwitchList(const std::vector<std::string>& switchIds) = 0;
  // ContainerList (always, empty when there are none), PortList and TkmnicList (only when not empty) Updates.
  virtual bool SendPortListFullSync(const std::vector<std::string>& containerVifIds,
                                    const std::vector<std::string>& portVifIds,
                                    const std::vector<std::string>& tkmnicNames) = 0;
  // Port ContainerList Update: the port's VIF ID, then its containers' VIF IDs.
  virtual bool SendPortContainerList(const std::string& vifId, const std::vector<std::string>& containerIds) = 0;
  // Container Update.
  virtual bool SendContainerUpdate(const std::vector<kcp::ContainerRecord>& containers) = 0;
  // A 9-byte message with an empty list of Update type `updateType`.
  virtual bool SendEmptyList(uint16_t updateType) = 0;
  // The single exit to the datapath: takes ownership of `message` (a C-allocator buffer holding one whole
  // message), also on failure.
  virtual bool SendMessage(uint8_t* message) = 0;
  // Messages the calling thread sends from BeginBatch until EndBatch may be handed to the link without waking its
  // send loop for each one, so that they go out in few writes; order and results are those of single sends.
  // BeginBatch returns whether this call began a batch (false inside one already open); only such a call is ended.
  virtual bool BeginBatch() { return false; }
  virtual void EndBatch() {}
};

// A batch of the builder for the life of this object (see BeginBatch).
class KcpSendBatch {
 public:
  explicit KcpSendBatch(IKCPMsgConvertor& builder) : _builder(builder), _began(builder.BeginBatch()) {}
  ~KcpSendBatch() {
    if (_began) _builder.EndBatch();
  }
  KcpSendBatch(const KcpSendBatch&) = delete;
  KcpSendBatch& operator=(const KcpSendBatch&) = delete;

 private:
  IKCPMsgConvertor& _builder;
  bool _began;
};

}  // namespace VevUroro
