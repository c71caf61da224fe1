// VevUroro::KCPMsgConvertor: the KCP builder of the configuration application (see IKCPMsgConvertor.h).
//
// Message layouts (every integer big-endian): an Update message is the 4-byte header (type 2, total length), the
// flags byte (0x80 = more messages of this batch follow), then one Update TLV (16-bit type, 16-bit length counting
// its 4-byte header). Port and Tkmnic Property Updates carry an operation byte (1 UPDATE, 2 DELETE, anything else
// sent as 3 FULL SYNC) and then entity records: the NUL-terminated, zero-padded entity ID (48 bytes for a port's VIF
// ID, 16 for a tkmnic name; longer IDs are cut to 47 or 15 characters), the record length counting that header, and
// the property TLVs. List entries are fixed-size text fields cut the same way.
//
// Sizes: a property message carries at most kEntityDataPerMessage bytes of entity records (kFirstMessageRoom in the
// first message of a batch), so that it fits the link's 10,240-byte buffer; a property that alone exceeds the room
// travels alone. A batch with a piece whose records would reach kRefusedEntityBytes, or whose message would not fit
// the 16-bit message length, is refused whole: nothing of it is sent. MaxPropertyValue is the largest value that
// still travels.
//
// Messages go out through SendMessage, which tests and benchmarks may override; by default it logs, dumps the
// message at info level (when the agent's level admits it) and hands it to the link, which owns it from then on;
// inside the calling thread's batch the link is woken per kMessagesPerWake messages instead of per message.
// Allocation failure of a message buffer writes "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!" to the system
// log and ends the process with status 1. Stateless; any thread.
#pragma once

#include <atomic>
#include <boost/intrusive_ptr.hpp>
#include <cstddef>
#include <thread>

#include "apps/config/IKCPMsgConvertor.h"
#include "dataplane/DataplaneLink.h"
#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro {

class KCPMsgConvertor : public qor::RefCounted<KCPMsgConvertor, IKCPMsgConvertor> {
 public:
  static constexpr size_t kEntityDataPerMessage = 10230;
  static constexpr size_t kFirstMessageRoom = 10226;
  static constexpr size_t kPortEntityHeader = 50;
  static constexpr size_t kTkmnicEntityHeader = 18;
  static constexpr size_t kPropertyOverhead = 4;
  static constexpr size_t kSwitchPropertyDataPerMessage = 10160;
  static constexpr size_t kSwitchIdsPerMessage = 159;
  static constexpr size_t kIdsPerListMessage = 213;
  static constexpr size_t kNamesPerTkmnicList = 639;
  static constexpr size_t kContainersPerPortContainerList = 212;
  static constexpr size_t kContainerUpdateRoom = 10240;
  static constexpr size_t kRefusedEntityBytes = 65531;
  // Envelope, TLV header and entity header of a VDS Property Update.
  static constexpr size_t kSwitchMessageFixedLen = 76;
  // Envelope, TLV header and operation byte of a Port or Tkmnic Property Update.
  static constexpr size_t kPropertyMessageFixedLen = 10;

  // The longest property value one entity of `kind` can carry (alone in its message).
  static constexpr size_t MaxPropertyValue(uint32_t kind) {
    const size_t header = kind == DVS_ENTITY_PORT ? kPortEntityHeader : kTkmnicEntityHeader;
    const size_t byRecords = kRefusedEntityBytes - 1 - header - kPropertyOverhead;
    const size_t byMessage = kcp::kMaxMsgLen - kPropertyMessageFixedLen - header - kPropertyOverhead;
    return byRecords < byMessage ? byRecords : byMessage;
  }

  // `link` may be null (nothing is sent then, and every send fails).
  explicit KCPMsgConvertor(boost::intrusive_ptr<DataplaneLink> link);

  bool SendEntityUpdate(const DVSEntityUpdate& update) override;
  bool SendSwitchPropertyUpdate(uint8_t operation, const std::vector<SwitchPropertyBlock>& blocks) override;
  bool SendSwitchList(const std::vector<std::string>& switchIds) override;
  bool SendPortListFullSync(const std::vector<std::string>& containerVifIds, const std::vector<std::string>& portVifIds,
                            const std::vector<std::string>& tkmnicNames) override;
  bool SendPortContainerList(const std::string& vifId, const std::vector<std::string>& containerIds) override;
  bool SendContainerUpdate(const std::vector<kcp::ContainerRecord>& containers) override;
  bool SendEmptyList(uint16_t updateType) override;
  bool SendMessage(uint8_t* message) override;
  bool BeginBatch() override;
  void EndBatch() override;

  // Inside a batch, the link's send loop is woken once per this many messages (and at its end). Each wake is a
  // system call on the converting thread, and the send loop writes what it finds in gathered writes anyway; a
  // whole host's load is ~180,000 messages.
  static constexpr size_t kMessagesPerWake = 256;

 private:
  // Sends `ids` as list messages of `updateType`, `perMessage` entries of `width` bytes each.
  bool SendList(uint16_t updateType, const std::vector<std::string>& ids, size_t width, size_t perMessage);

  boost::intrusive_ptr<DataplaneLink> _link;
  // The thread whose batch is open (none when no batch is), and how many messages it queued since the last wake.
  std::atomic<std::thread::id> _batchThread{};
  size_t _batchMessages = 0;
};

}  // namespace VevUroro
