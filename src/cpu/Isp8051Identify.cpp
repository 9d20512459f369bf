// The AT89C51RX2 loader's read function (record type 05), for an identify run: after the
// synchronisation each value is asked in turn and answered by its two hexadecimal digits and "."
// behind the echo of the command ("L": refused by the security level, "X": checksum error).
//   ":0200000500 00F9" ->  "58."   manufacturer        ":02000005 0001F8" -> ID 1 (family)
//   ":02000005 0002F7" ->  ID 2    ":02000005 0003F6"  -> ID 3
//   ":02000005 0F00EA" ->  boot loader version      ":02000005 0700F2" -> the security byte

#include "cpu/AT89C51RX2.h"
#include "link/ProtocolLink.h"
#include "protocol/RunOutcome.h"

#include <cctype>
#include <cstdio>

namespace vk::cpu {

namespace {

struct InfoRead {
  const char* name;
  std::uint8_t what, which;
};
constexpr InfoRead kInfo[] = {
    {"manufacturer", 0x00, 0x00}, {"device ID 1", 0x00, 0x01}, {"device ID 2", 0x00, 0x02},
    {"device ID 3", 0x00, 0x03},  {"loader", 0x0F, 0x00},      {"protection", 0x07, 0x00},
};

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
  return text;
}

// Atmel's software security byte (the AT89C51RD2/ED2 data sheet): FF level 0, FE level 1 (no
// writing), FC level 2 (no reading or writing).
std::string SecurityWords(unsigned ssb) {
  switch (ssb) {
  case 0xFF:
    return "none (security level 0)";
  case 0xFE:
    return "write protected (security level 1: the loader refuses writing)";
  case 0xFC:
    return "read and write protected (security level 2: a chip erase lifts it)";
  default:
    return "security byte " + Hex2(ssb);
  }
}

} // namespace

std::string TCPU_ISP8051::InfoCommand(std::uint8_t what, std::uint8_t which) {
  const std::uint8_t bytes[] = {0x02, 0x00, 0x00, 0x05, what, which};
  std::uint8_t sum = 0;
  std::string text = ":";
  for (const std::uint8_t b : bytes) {
    sum = static_cast<std::uint8_t>(sum + b);
    text += programmer::HexDigits(b, 2);
  }
  return text + programmer::HexDigits(static_cast<std::uint8_t>(-sum), 2);
}

bool TCPU_ISP8051::IdentifyTick() {
  using programmer::FailReason;
  constexpr std::size_t kReads = sizeof kInfo / sizeof kInfo[0];
  if (infoAt_ >= kReads) return true;
  const InfoRead& read = kInfo[infoAt_];
  if (!infoSent_) {
    Comm->DropAnswers();
    Comm->SendString(InfoCommand(read.what, read.which));
    infoAnswer_.clear();
    infoSent_ = true;
    StartWaiting();
    return false;
  }
  while (Comm->AnswerWaiting()) infoAnswer_ += Comm->TakeAnswer().value_or("");
  // The echo of the command holds hexadecimal digits only: an answer letter stands out.
  const std::string echo = InfoCommand(read.what, read.which);
  const std::string answer =
      infoAnswer_.rfind(echo, 0) == 0 ? infoAnswer_.substr(echo.size()) : infoAnswer_;
  const auto dot = answer.find('.');
  if (dot != std::string::npos && dot >= 2 &&
      std::isxdigit(static_cast<unsigned char>(answer[dot - 1])) &&
      std::isxdigit(static_cast<unsigned char>(answer[dot - 2]))) {
    const unsigned value =
        static_cast<unsigned>(std::stoul(answer.substr(dot - 2, 2), nullptr, 16));
    infoValues_[infoAt_] = value;
  } else if (answer.find('L') != std::string::npos) {
    infoValues_[infoAt_] = -1; // refused by the security level
  } else if (answer.find('X') != std::string::npos && ReadRepeats < kMaxReadRetries) {
    ++ReadRepeats;
    infoSent_ = false;
    return false;
  } else if (answer.find('R') != std::string::npos) {
    infoValues_[infoAt_] = -2; // not a command of this loader
  } else {
    if (WaitedLongerThan(kAnswerLimitMs))
      Fail(FailReason::RecordUnanswered,
           std::string("reading the ") + read.name + ": " +
               (answer.empty() ? "unanswered" : "no value in \"" + answer + "\""));
    return false;
  }
  infoSent_ = false;
  if (++infoAt_ < kReads) return false;

  const auto value = [&](std::size_t i) {
    const int v = infoValues_[i];
    return v >= 0    ? Hex2(static_cast<unsigned>(v))
           : v == -1 ? std::string("refused (L)")
                     : std::string("not served (R)");
  };
  Identity.push_back({"loader", "Atmel ISP boot loader, version " + value(4)});
  Identity.push_back({"manufacturer", value(0) + (infoValues_[0] == 0x58 ? " (Atmel)" : "")});
  Identity.push_back({"device ID", value(1) + " " + value(2) + " " + value(3)});
  Identity.push_back({"flash", "not reported by the loader (an AT89C51RD2 holds 64 KiB)"});
  Identity.push_back({"protection", infoValues_[5] >= 0
                                        ? SecurityWords(static_cast<unsigned>(infoValues_[5]))
                                        : value(5)});
  return true;
}

} // namespace vk::cpu
