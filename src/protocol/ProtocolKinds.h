#pragma once
// What the program knows of each protocol kind, read from its row in ProtocolKinds.def. Plain
// data: vkprog's file commands read it without the link libraries; the classes are CpuFactory's.

#include "link/PortEntry.h"
#include "protocol/Catalogue.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace vk::programmer {

using link::LinkKind;

struct ProtocolKind {
  std::uint8_t Kind;
  std::string_view Name;          // as vkprog targets shows it
  std::string_view PlanWords;     // as vkprog program --dry-run describes it
  std::string_view SaveExtension; // the file type File > Save proposes; empty: none
  int SaveFilterIndex;            // the Save dialog's filter position for it
  bool OpFirst;                   // "OP n" selects the module before a run
  bool EraseOffered;
  LinkKind Link;
  bool WritesImage;  // false: the run only checks the chip
  int ChecksumWords; // appended by the run after the image, each over the region
  // The image's bit rate over the serial port when the port's speed is not given; 0: over CAN.
  std::uint32_t ImageBaud;
  bool OwnImageBaud; // the protocol switches to ImageBaud itself, whatever the port's speed
  std::string_view EraseWords; // what a run erases, as the dry run says it
  // The same for an image from TCPU_BACKPLANE::kUpperEraseFrom on; empty: as EraseWords.
  std::string_view UpperEraseWords;
  // The chip's flash can be read back: a run verifies what it wrote, vkprog read and verify serve
  // the entry.
  bool ReadsBack;
  // An erase-only run erases the whole chip with the boot loader's own command, in these words
  // (the dry run's); empty: the kind has no such run.
  std::string_view ChipEraseWords;
  bool StartsProgram;         // the run can start the program it wrote (go)
  bool RemovesReadProtection; // the run can remove the chip's read protection (unprotect)
  // Reached over the CAN link, not the serial port.
  bool NeedsCan() const { return Link == LinkKind::Can; }
  // Erase is offered: the unit's per-module erase, or the loader's chip erase.
  bool Erases() const { return EraseOffered || !ChipEraseWords.empty(); }
};

// The rows in code order.
std::span<const ProtocolKind> ProtocolKinds();

// The row of a kind. A code with no row is served as a backplane module, as the protocol
// factory serves it.
const ProtocolKind& KindOf(std::uint8_t kind);

} // namespace vk::programmer
