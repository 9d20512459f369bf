#pragma once
// The serial boot loader of the QX4T controller. The controller runs its application until it is
// told "BM" at the loader's bit rate (57600); the loader then erases the application area,
// answers "OK" and takes Intel HEX records until "GN" starts the application again. The flash is
// 64 KiB; the loader itself sits above the application area (0xE000-0xFFFF by default) and
// cannot be written.
//
//   "BM" CR                 enter the loader (also again while in it): erase 0x0000..appEnd,
//                           then, after the erase time, "OK" CR LF
//   data record CR          (in the loader) programmed, then after the record time "." (or
//                           0x06) CR LF; bad digits, length or checksum: "X"; over flash that is
//                           not erased, or reaching above appEnd: "R"
//   end record CR           (in the loader) the acknowledge
//   "GN" CR                 leaves the loader and starts the application; no answer
//   another record type     "R"
//   any other line          in the loader "?"; the application ignores every line but "BM"
//
// Lines end with CR; LF is ignored, spaces and letter case of "BM" and "GN" do not matter, and a
// line is cut off after 1024 characters. Bytes at any other rate than the loader's are lost.

#include "devsim/ModelText.h"
#include "devsim/ScriptedSerialModel.h"

#include <array>
#include <map>
#include <string>
#include <vector>

namespace vk::devsim {

struct Qx4tBootConfig {
  std::uint32_t baud = 57600; // the only rate the controller listens at
  char recordAck = '.';       // or 0x06
  Millis eraseMs = 20;        // "BM" erases the application area before its "OK"
  Millis recordMs = 2;        // programming one record until its answer
  std::uint32_t appEnd = 0xDFFF;
  // The n-th "BM" or data record (counted from 1) is answered with this text, sent as it stands,
  // instead of the usual answer; for scripting unusual answers in-process. "BM" and data records
  // so answered are still carried out.
  std::map<std::uint64_t, std::string> enterReplies;
  std::map<std::uint64_t, std::string> recordReplies;
};

class Qx4tBootLoader : public ScriptedSerialModel {
public:
  static constexpr std::uint32_t kFlashSize = 0x10000;
  static constexpr std::size_t kMaxLine = 1024;

  struct LoaderCounters {
    std::uint64_t enters = 0;   // "BM" received
    std::uint64_t commands = 0; // "BM", "GN", the end record and unknown lines in the loader
    std::uint64_t records = 0;  // data records received in the loader, well-formed or not
    std::uint64_t programmed = 0;
    std::uint64_t bytesProgrammed = 0;
    std::uint64_t refused = 0; // data records answered with anything but the acknowledge
    std::uint64_t erases = 0;
    std::uint64_t endRecords = 0;
    std::uint64_t starts = 0;  // "GN": the application started
    std::uint64_t ignored = 0; // lines the application or the loader did not take
  };

  explicit Qx4tBootLoader(Qx4tBootConfig config = {});

  // Adds a scripted fault (see FaultScript.h). Commands are named BM, GN and END (the end
  // record); data records are counted over the loader's whole life.
  bool AddFault(std::string_view rule, std::string* error = nullptr) {
    return faults_.Add(rule, error);
  }
  const FaultScript& Faults() const { return faults_; }

  // Bytes already in the flash, as from an earlier program.
  void Preload(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  const std::array<std::uint8_t, kFlashSize>& Flash() const { return flash_; }
  std::vector<std::uint8_t> FlashImage() const override { return {flash_.begin(), flash_.end()}; }

  const Qx4tBootConfig& Config() const { return config_; }
  const LoaderCounters& Counters() const { return loader_; }
  // Whether the loader (rather than the application) is running.
  bool InLoader() const { return inLoader_; }
  std::uint32_t LowestWritten() const { return lowestWritten_; }
  std::uint32_t HighestWritten() const { return highestWritten_; }

  std::string Summary() const override;

protected:
  void OnByte(std::uint8_t b, Micros at, std::uint32_t baud) override;
  bool ListensAt(std::uint32_t baud) const override { return baud == config_.baud; }

private:
  void HandleLine(const std::string& line, Micros at, std::uint32_t baud);
  void Enter(Micros at, std::uint32_t baud);
  void Start(Micros at, std::uint32_t baud);
  void HandleRecord(const std::string& text, Micros at, std::uint32_t baud);
  void HandleDataRecord(const std::vector<std::uint8_t>& bytes, std::uint64_t n, Micros at,
                        std::uint32_t baud);
  void RefuseRecord(std::uint64_t n, std::string_view why, char letter, Micros at,
                    std::uint32_t baud);

  Qx4tBootConfig config_;
  std::array<std::uint8_t, kFlashSize> flash_;
  bool inLoader_ = false;
  LineCollector line_{kMaxLine};
  bool absentNoted_ = false;
  bool outsideNoted_ = false;
  std::uint32_t lowestWritten_ = kFlashSize;
  std::uint32_t highestWritten_ = 0;
  LoaderCounters loader_;
};

// vkdevsim qx4t-boot (Qx4tBootCommand.cpp).
int RunQx4tBoot(const std::vector<std::string>& args);

} // namespace vk::devsim
