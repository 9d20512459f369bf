#pragma once
// File > Save: prepare the image for the selected target, ask for a file, write it by the
// name's ending ("hex" in any case: Intel HEX; anything else: S-records).

#include "image/FirmwareImage.h"
#include "platform/MessageBox.h"
#include "programmer/RunController.h"

#include <functional>
#include <optional>
#include <string>

namespace vk::app {

// What the Save dialog proposes. Filter positions: 1 "V&K Firmware File", 2 "Hex Intel",
// 3 "Motorola S-Record".
struct SaveProposal {
  bool keepLast = true; // the dialog keeps what it proposed last
  std::string fileName;
  std::string extension; // "*.a20" or "*.hex"
  int filterIndex = 0;
};

inline constexpr const char* kFileFilter =
    "V&K Firmware File|*.vkf|Hex Intel|*.hex|Motorola S-Record|*.a20";

SaveProposal ProposalFor(std::uint8_t cpuKind);
bool SavesAsIntelHex(const std::string& fileName);
// A name ending in ".vkf" (any case): Save writes no such file.
bool NamesAContainer(const std::string& fileName);

// Returns the name written, or nothing (no target selected, or the user cancelled). A file
// that cannot be written throws image::FileWriteError; the preparation stays in the image.
std::optional<std::string>
SaveClick(image::FirmwareImage& firmware, programmer::RunController& prg,
          platform::IMessageBox& boxes,
          const std::function<std::optional<std::string>(const SaveProposal&)>& askFile);

} // namespace vk::app
