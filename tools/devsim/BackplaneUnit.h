#pragma once
// The backplane programmer unit: a box on a module backplane that takes short text commands
// over a serial line and forwards them to the module at a chosen address. Modules are given by
// address (0..255) and type code; each holds a 64 KiB flash that starts erased.
//
// Commands end with CR; LF is ignored and so are empty commands. Answers:
//   "OP n" / "OPn"   select the module at decimal address n: "OK\r\n"; no module there: the
//                    configured absent reply (none by default) and nothing is selected
//   "ID"             "ID" + type as two upper-case hex digits + "\r\n"; nothing when none selected
//   "QV550274"       no answer; the receiver listens at 115200 bit/s as well from then on
//   "erase1"         erases the whole flash (0x0000-0xFFFF); "OK\r\n" after the erase time
//   "erase2"         erases 0xC000-0xFFFF; "OK\r\n" after the erase time
//   "L"              load mode, no answer; then each line that starts with ":" is a record
//   data record      programmed, ".\r\n"; bad digits, length or checksum: "X\r\n" (send again);
//                    other record types, no module selected, or flash not erased where written:
//                    "E\r\n"
//   end record       no answer; load mode ends
//   "G"              no answer; the module starts and is deselected
// Anything else is ignored without an answer.

#include "devsim/ModelText.h"
#include "devsim/ScriptedSerialModel.h"

#include <array>
#include <map>
#include <memory>

namespace vk::devsim {

struct BackplaneConfig {
  std::uint32_t baseBaud = 115200; // the rate the unit always listens at
  Millis eraseMs = 1500;           // erase1 or erase2 until "OK"
  Millis recordMs = 0;             // programming one record until "."
  std::string absentReply;         // sent with "\r\n" when "OP n" finds no module; empty: silence
};

class BackplaneUnit : public ScriptedSerialModel {
public:
  static constexpr std::uint32_t kFlashSize = 0x10000;
  static constexpr std::uint32_t kErase2Start = 0xC000;
  static constexpr std::uint32_t kFastBaud = 115200;
  static constexpr std::size_t kMaxLine = 1024;

  struct Module {
    std::uint8_t address = 0;
    std::uint8_t type = 0;
    std::array<std::uint8_t, kFlashSize> flash;
    int erase1Count = 0;
    int erase2Count = 0;
    int loads = 0;             // "L" while selected
    std::uint64_t records = 0; // data records programmed
    std::uint64_t bytesProgrammed = 0;
    std::uint64_t refused = 0; // records answered with anything but "."
    int endRecords = 0;
    int starts = 0;                           // "G"
    std::uint32_t lowestWritten = kFlashSize; // range of programmed addresses
    std::uint32_t highestWritten = 0;
  };

  struct UnitCounters {
    std::uint64_t commands = 0; // command lines, records not included
    std::uint64_t records = 0;  // data records received in load mode, well-formed or not
    std::uint64_t unknown = 0;  // commands the unit does not know
    std::uint64_t overlong = 0; // lines cut off at kMaxLine
  };

  explicit BackplaneUnit(BackplaneConfig config = {});

  // False when the address is already taken.
  bool AddModule(std::uint8_t address, std::uint8_t type);
  const Module* FindModule(int address) const;
  std::vector<const Module*> Modules() const;
  // Every module's 64 KiB, in address order.
  std::vector<std::uint8_t> FlashImage() const override;

  FaultScript& Faults() { return faults_; }
  const BackplaneConfig& Config() const { return config_; }
  const UnitCounters& Counters() const { return unit_; }
  bool FastRateEnabled() const { return fastRate_; }
  std::optional<int> SelectedAddress() const;
  bool InLoadMode() const { return loadMode_; }

  std::string Summary() const override;

protected:
  void OnByte(std::uint8_t b, Micros at, std::uint32_t baud) override;
  bool ListensAt(std::uint32_t baud) const override;

private:
  void HandleLine(const std::string& line, Micros at, std::uint32_t baud);
  void HandleCommand(const std::string& line, Micros at, std::uint32_t baud);
  void HandleRecord(const std::string& line, Micros at, std::uint32_t baud);
  void Erase(Module& m, std::uint32_t from, std::uint32_t to);

  BackplaneConfig config_;
  std::map<int, std::unique_ptr<Module>> modules_;
  Module* selected_ = nullptr;
  bool fastRate_ = false;
  bool loadMode_ = false;
  LineCollector line_{kMaxLine};
  UnitCounters unit_;
};

} // namespace vk::devsim
