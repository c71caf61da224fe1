// VevUroro::CIFConfig: the container interfaces (CIFs, child ports) of each VM VIF, and the container messages
// that tell the datapath about them.
//
// A CIF is a logical switch port whose attachment names a parent VIF (the VM's VIF) and a context VLAN. CIFConfig
// keeps, per CIF, its attachment and address bindings (from the property converter's LSP_ATTACHMENT and
// LSP_ADDRESS_BINDINGS changes) and, per parent VIF, the set of its CIFs. For a parent that is connected it sends
// the CIFs as Container Update records (CIF ID, port ID, the VM's port ID and VIF ID, context VLAN, the first
// bound MAC and every IP/MAC binding) followed by the parent's Port ContainerList Update; a parent without CIFs
// gets an empty container list.
//
// Owned by the DVSPropConvertor, called under the agent lock; sends through the KCP builder.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "apps/config/DesiredSwitchState.h"
#include "apps/config/IKCPMsgConvertor.h"
#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro {

class CIFConfig {
 public:
  // Addresses of one CIF that one Container Update can carry; the rest are left out (logged), so that a CIF with
  // too many bindings does not cost its parent's other containers their update.
  static constexpr size_t kMaxContainerAddresses =
      (kcp::kMaxMsgLen - kcp::kUpdateHeaderLen - kcp::kTlvHeaderLen - kcp::kContainerRecordFixedLen) /
      kcp::kIpMacEntryLen;

  struct Cif {
    std::string lspId;
    std::string vifId;
    std::string parentVifId;
    uint16_t vlan = 0;
    std::optional<zantix::qor::tolvar::AddressBindingsMsg> bindings;
  };

  explicit CIFConfig(qor::RefPtr<IKCPMsgConvertor> builder);

  // The LSP's attachment changed (nullopt: removed); `bindings`: the LSP's address bindings as they stand (they
  // may have come before the LSP became a CIF). Returns the parent VIF whose CIF list changed, or "".
  std::string OnAttachment(const std::string& lspId, const std::optional<LspAttachment>& attachment,
                           std::optional<zantix::qor::tolvar::AddressBindingsMsg> bindings);
  // The LSP's address bindings changed; returns the parent VIF of the CIF, or "" when the LSP is no CIF.
  std::string OnAddressBindings(const std::string& lspId,
                                const std::optional<zantix::qor::tolvar::AddressBindingsMsg>& bindings);
  // The LSP is gone; returns the parent VIF whose CIF list changed, or "".
  std::string OnLspDeleted(const std::string& lspId);

  const Cif* FindByVif(const std::string& cifVifId) const;
  const Cif* FindByLsp(const std::string& lspId) const;
  // CIF LSP ids of `parentVifId`, in id order.
  std::vector<const Cif*> ChildrenOf(const std::string& parentVifId) const;

  // Sends the Container Update of the parent's CIFs (when it has any) and its Port ContainerList Update.
  // `parentPortId` is the datapath's port ID of the parent VIF.
  bool SendContainers(const std::string& parentVifId, const std::string& parentPortId);

 private:
  void Detach(const std::string& lspId);

  qor::RefPtr<IKCPMsgConvertor> _builder;
  std::map<std::string, Cif> _cifs;                        // by LSP id
  std::map<std::string, std::string> _byVif;               // CIF VIF id -> LSP id
  std::map<std::string, std::set<std::string>> _byParent;  // parent VIF id -> CIF LSP ids
};

}  // namespace VevUroro
