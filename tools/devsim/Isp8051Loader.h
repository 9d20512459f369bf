#pragma once
// The in-system-programming boot loader of an 8051 flash microcontroller, in its two variants:
// AT89C51RX2 (AT89C51RD2 and kin) and P89C51RX2. The chip holds 64 KiB of flash that starts
// erased. Its language is Intel HEX records; a record ends when its length says so, so commands
// need no line end.
//
//   "U" (outside a record)  the loader measures the bit rate on it and answers with the echo "U";
//                           before the first "U" every other byte is ignored
//   data record (type 00)   programmed, then answered with the acknowledge character ("." or
//                           0x06); bad digits or checksum: "X" (send it again); over flash that
//                           is not erased, or past the end of the flash: "R"; while the chip is
//                           locked by its security bits: "L" (AT89C51RX2) or "R" (P89C51RX2)
//   end record (type 01)    the acknowledge character
//   type 02, one byte       P89C51RX2: the oscillator frequency in MHz, "."
//   type 03 07              full chip erase (also clears the security bits), "." when done
//   type 03 04 00           boot vector and status byte cleared, "."
//   type 03 06 00 SS        status byte := SS, "."; 00 makes the chip start the application
//   type 03 06 01 VV        boot vector := VV, "."
//   type 04 SSSS EEEE 00    AT89C51RX2: display SSSS..EEEE (EEEE included, at most 1 KiB): lines
//                           "AAAA=" and up to 16 bytes in hexadecimal, each ended by CR LF
//   type 04 SSSS EEEE 01    AT89C51RX2: blank check: "." when every byte is FF, else the first
//                           address that is not, "AAAA"; both readings answer "L" while locked
//   type 05 XX YY           AT89C51RX2: read manufacturer information, "VV." (the value in
//                           hexadecimal): 00 00 manufacturer, 00 01..03 device IDs 1..3, 0F 00
//                           boot loader version, 07 00 the software security byte (FF level 0,
//                           FC level 2 while locked); readable at every security level
//   anything else           "R"
//
// Every answer but the echo "U" ends with CR LF. With echo on (the default, as the chips do)
// every byte received after synchronisation comes back as it arrives, and the answer follows
// the echo of the record's last digit.
//
// Bit rate: real loaders measure the rate on "U" after a reset. The model takes every "U" it is
// sent, at whatever rate, and from then on reads the other bytes at that rate only: bytes at
// another rate are noise to it and are dropped. A host that changes its rate therefore has to
// send "U" again, as the programming protocols do at the start of every run; unlike a real chip
// the model needs no reset for that, since a pseudo-terminal cannot reset it.

#include "devsim/ScriptedSerialModel.h"

#include <array>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vk::devsim {

enum class Isp8051Chip : std::uint8_t { AT89C51RX2, P89C51RX2 };

const char* Isp8051ChipName(Isp8051Chip chip);

struct Isp8051Config {
  Isp8051Chip chip = Isp8051Chip::AT89C51RX2;
  bool echo = true;
  char recordAck = '.'; // or 0x06
  // Full chip erase until ".": Atmel's ISP documentation of the family, "about 6 sec".
  Millis eraseMs = 6000;
  Millis recordMs = 2; // programming one record until its answer
  bool locked = false; // security bits set: records (and reading) are refused until an erase
  // Manufacturer 58h (Atmel) and family D7h as Atmel's tables of the family give them; the
  // product name and revision, and the boot loader version, are examples.
  std::array<std::uint8_t, 4> ids = {0x58, 0xD7, 0xF7, 0xFF};
  std::uint8_t bootVersion = 0x12;
  // A flash cell whose bit 0 never clears: programming leaves it 1 there, as a worn or damaged
  // cell does, and only reading the flash back shows it.
  std::optional<std::uint32_t> stuckBitAt;
  // The n-th "U" or data record (counted from 1) is answered with this text instead; for
  // scripting unusual answers in-process. Data records so answered are still programmed.
  std::map<std::uint64_t, std::string> syncReplies;
  std::map<std::uint64_t, std::string> recordReplies;
};

class Isp8051Loader : public ScriptedSerialModel {
public:
  static constexpr std::uint32_t kFlashSize = 0x10000;
  static constexpr std::uint8_t kErasedStatus = 0xFF; // the loader runs after a reset

  struct LoaderCounters {
    std::uint64_t syncs = 0;    // "U" received
    std::uint64_t commands = 0; // "U" and every record that is not a data record
    std::uint64_t records = 0;  // data records received, well-formed or not
    std::uint64_t programmed = 0;
    std::uint64_t bytesProgrammed = 0;
    std::uint64_t refused = 0; // data records answered with anything but the acknowledge
    std::uint64_t erases = 0;
    std::uint64_t endRecords = 0;
    std::uint64_t closingCommands = 0; // status byte and boot vector commands
    std::uint64_t displays = 0;        // display (read) commands answered with data
    std::uint64_t blankChecks = 0;
    std::uint64_t ignoredUnsynced = 0; // bytes before the first "U"
    std::uint64_t wrongRate = 0;       // bytes at a rate other than the measured one
  };

  explicit Isp8051Loader(Isp8051Config config = {});

  // Adds a scripted fault (see FaultScript.h). Commands are named SYNC ("U"), OSC (type 02),
  // ERASE, CLOSE (status byte and boot vector commands) and END (the end record); besides the
  // actions of FaultScript, L answers "L".
  bool AddFault(std::string_view rule, std::string* error = nullptr);
  const FaultScript& Faults() const { return faults_; }

  // Bytes already in the flash before the session, as from an earlier program.
  void Preload(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  const std::array<std::uint8_t, kFlashSize>& Flash() const { return flash_; }
  std::vector<std::uint8_t> FlashImage() const override { return {flash_.begin(), flash_.end()}; }

  const Isp8051Config& Config() const { return config_; }
  const LoaderCounters& Counters() const { return loader_; }
  // The rate measured on the last "U"; 0 before the first.
  std::uint32_t SyncedBaud() const { return syncedBaud_; }
  bool Locked() const { return locked_; }
  std::uint8_t StatusByte() const { return statusByte_; }
  std::uint8_t BootVector() const { return bootVector_; }
  // What a reset would start: the application once the status byte is 00.
  bool StartsApplication() const { return statusByte_ == 0x00; }
  // Written by the P89C51RX2's type 02 command; 0 until then.
  std::uint8_t OscillatorMHz() const { return oscillatorMHz_; }
  std::uint32_t LowestWritten() const { return lowestWritten_; }
  std::uint32_t HighestWritten() const { return highestWritten_; }

  std::string Summary() const override;

protected:
  void OnByte(std::uint8_t b, Micros at, std::uint32_t baud) override;
  bool ListensAt(std::uint32_t) const override { return true; }

private:
  void Sync(Micros at, std::uint32_t baud);
  void HandleRecord(Micros at, std::uint32_t baud);
  void HandleDataRecord(const std::vector<std::uint8_t>& bytes, std::uint64_t n, Micros at,
                        std::uint32_t baud);
  void HandleCommand(const std::vector<std::uint8_t>& bytes, Micros at, std::uint32_t baud);
  // Record type 04: display or blank check.
  void HandleDisplay(const std::uint8_t* data, Micros at, std::uint32_t baud);
  // The stuck bit stays 1 whatever was written.
  void ApplyStuckBit();
  void RefuseRecord(std::uint64_t n, std::string_view why, char letter, Micros at,
                    std::uint32_t baud);
  // Sends an answer (and CR LF after it) unless the loader is silenced; returns when it has
  // reached the host.
  Micros Answer(std::string_view answer, Micros readyAt, std::uint32_t baud, bool endLine = true);
  void Echo(std::uint8_t b, Micros at, std::uint32_t baud);
  char RefusalLetter(const Fault& fault) const override;

  Isp8051Config config_;
  std::array<std::uint8_t, kFlashSize> flash_;
  bool locked_;
  std::uint8_t statusByte_ = kErasedStatus;
  std::uint8_t bootVector_ = 0xFC;
  std::uint8_t oscillatorMHz_ = 0;
  std::uint32_t syncedBaud_ = 0;
  std::uint32_t lowestWritten_ = kFlashSize;
  std::uint32_t highestWritten_ = 0;
  bool inRecord_ = false;
  std::string record_;
  bool wrongRateNoted_ = false;
  std::set<std::string> letterLRules_;
  LoaderCounters loader_;
};

// vkdevsim isp8051 (Isp8051Command.cpp).
int RunIsp8051(const std::vector<std::string>& args);

} // namespace vk::devsim
