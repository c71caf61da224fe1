#include "apps/config/CIFConfig.h"

#include "apps/config/AddressBytes.h"
#include "apps/config/UuidText.h"
#include "core/Logger.h"
#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro {

CIFConfig::CIFConfig(qor::RefPtr<IKCPMsgConvertor> builder) : _builder(std::move(builder)) {}

void CIFConfig::Detach(const std::string& lspId) {
  auto it = _cifs.find(lspId);
  if (it == _cifs.end()) return;
  _byVif.erase(it->second.vifId);
  auto parent = _byParent.find(it->second.parentVifId);
  if (parent != _byParent.end()) {
    parent->second.erase(lspId);
    if (parent->second.empty()) _byParent.erase(parent);
  }
  _cifs.erase(it);
}

std::string CIFConfig::OnAttachment(const std::string& lspId, const std::optional<LspAttachment>& attachment,
                                    std::optional<zantix::qor::tolvar::AddressBindingsMsg> bindings) {
  auto old = _cifs.find(lspId);
  std::string oldParent = old == _cifs.end() ? std::string() : old->second.parentVifId;
  if (!attachment || attachment->parentVifId.empty() || attachment->vifId.empty()) {
    Detach(lspId);
    return oldParent;
  }
  Detach(lspId);
  Cif cif{lspId, attachment->vifId, attachment->parentVifId, static_cast<uint16_t>(attachment->contextVlan),
          std::move(bindings)};
  _byVif[cif.vifId] = lspId;
  _byParent[cif.parentVifId].insert(lspId);
  Logger(LOG_LEVEL_DEBUG, "CIFConfig: CIF %1 of VIF %2 vlan %3 (LSP %4)", cif.vifId, cif.parentVifId, cif.vlan,
         UuidOf(lspId));
  std::string parent = cif.parentVifId;
  _cifs[lspId] = std::move(cif);
  return parent;
}

std::string CIFConfig::OnAddressBindings(const std::string& lspId,
                                         const std::optional<zantix::qor::tolvar::AddressBindingsMsg>& bindings) {
  auto it = _cifs.find(lspId);
  if (it == _cifs.end()) return std::string();
  it->second.bindings = bindings;
  return it->second.parentVifId;
}

std::string CIFConfig::OnLspDeleted(const std::string& lspId) {
  auto it = _cifs.find(lspId);
  if (it == _cifs.end()) return std::string();
  std::string parent = it->second.parentVifId;
  Detach(lspId);
  return parent;
}

const CIFConfig::Cif* CIFConfig::FindByVif(const std::string& cifVifId) const {
  auto it = _byVif.find(cifVifId);
  return it == _byVif.end() ? nullptr : FindByLsp(it->second);
}

const CIFConfig::Cif* CIFConfig::FindByLsp(const std::string& lspId) const {
  auto it = _cifs.find(lspId);
  return it == _cifs.end() ? nullptr : &it->second;
}

std::vector<const CIFConfig::Cif*> CIFConfig::ChildrenOf(const std::string& parentVifId) const {
  std::vector<const Cif*> out;
  auto it = _byParent.find(parentVifId);
  if (it == _byParent.end()) return out;
  for (const std::string& lspId : it->second) out.push_back(&_cifs.at(lspId));
  return out;
}

bool CIFConfig::SendContainers(const std::string& parentVifId, const std::string& parentPortId) {
  std::vector<kcp::ContainerRecord> records;
  std::vector<std::string> ids;
  for (const Cif* cif : ChildrenOf(parentVifId)) {
    kcp::ContainerRecord record;
    record.cifId = cif->vifId;
    record.portId = UuidText(cif->lspId);
    record.vmPortId = parentPortId;
    record.vmVifId = parentVifId;
    record.vlanId = cif->vlan;
    if (cif->bindings) {
      bool macSet = false;
      if (static_cast<size_t>(cif->bindings->bindings_size()) > kMaxContainerAddresses) {
        Logger(LOG_LEVEL_ERROR, "CIF %1 has %2 address bindings, more than the %3 one message carries: %4 are not sent",
               cif->vifId, cif->bindings->bindings_size(), kMaxContainerAddresses,
               cif->bindings->bindings_size() - static_cast<int>(kMaxContainerAddresses))
            .AddTag("errorCode:LCP00001");
      }
      for (const auto& binding : cif->bindings->bindings()) {
        if (record.entries.size() == kMaxContainerAddresses) break;
        kcp::IpMacEntry entry;
        entry.family = binding.ip().has_ipv4() ? 1 : 0;
        WriteIpBytes(binding.ip(), entry.ip.data());
        WriteMacBytes(binding.mac(), entry.mac.data());
        if (!macSet && binding.has_mac()) {
          record.mac = entry.mac;
          macSet = true;
        }
        record.entries.push_back(entry);
      }
    }
    ids.push_back(cif->vifId);
    records.push_back(std::move(record));
  }
  if (!records.empty() && !_builder->SendContainerUpdate(records)) return false;
  return _builder->SendPortContainerList(parentVifId, ids);
}

}  // namespace VevUroro
