#include "app/FileCommands.h"

#include "image/TextFile.h"
#include "protocol/ProtocolKinds.h"

namespace vk::app {

using namespace programmer;

SaveProposal ProposalFor(std::uint8_t cpuKind) {
  const ProtocolKind& kind = KindOf(cpuKind);
  if (kind.SaveExtension.empty()) return {};
  return {false, "image", std::string(kind.SaveExtension), kind.SaveFilterIndex};
}

bool SavesAsIntelHex(const std::string& fileName) { return image::NameEndsWith(fileName, "hex"); }

bool NamesAContainer(const std::string& fileName) { return image::NameEndsWith(fileName, ".vkf"); }

std::optional<std::string>
SaveClick(image::FirmwareImage& firmware, RunController& prg, platform::IMessageBox& boxes,
          const std::function<std::optional<std::string>(const SaveProposal&)>& askFile) {
  if (prg.Node().CpuKind == kKindGroup) {
    boxes.Show("You must select a target", "Programming", platform::MsgButtons::Ok,
               platform::MsgIcon::None);
    return std::nullopt;
  }
  const PreparedImage prepared = prg.PrepareImage();
  // What a run of the target would refuse is not saved for it either.
  if (prepared.refusal) {
    boxes.Show(prepared.refusal.text, "Save", platform::MsgButtons::Ok, platform::MsgIcon::Error);
    return std::nullopt;
  }
  const auto name = askFile(ProposalFor(prg.Node().CpuKind));
  if (!name) return std::nullopt;
  if (NamesAContainer(*name)) {
    // Written as S-records, the file would pass for a container it is not.
    boxes.Show(*name + "\rSave writes Intel HEX (.hex) or S-records (.a20), not V&K firmware "
                       "files (.vkf): choose another name.",
               "Save", platform::MsgButtons::Ok, platform::MsgIcon::Error);
    return std::nullopt;
  }
  // The prepared range: the jump table and the checksum word are written with the image.
  if (SavesAsIntelHex(*name))
    firmware.SaveIntelHex(*name, prepared.start, prepared.end);
  else
    firmware.SaveSRecords(*name, prepared.start, prepared.end);
  return name;
}

} // namespace vk::app
