#include "cpu/ProgrammerUnit.h"

#include "image/HexDigits.h"
#include "link/ProtocolLink.h"

namespace vk::programmer {

namespace {
// The one place the selection is spelt: the finder's probe is the same command without the space.
std::string Op(int address, bool spaced) {
  return std::string("OP") + (spaced ? " " : "") + std::to_string(address);
}

} // namespace

std::string ProgrammerUnit::SelectCommand(int address) { return Op(address, true); }

std::string ProgrammerUnit::ProbeCommand(int address) { return Op(address, false); }

bool ProgrammerUnit::IsOk(const std::string& answer) {
  return answer.find("OK") != std::string::npos;
}

std::optional<std::int32_t> ProgrammerUnit::TypeIn(const std::string& idAnswer) {
  if (idAnswer.size() < 4) return std::nullopt;
  const int hi = image::hex::DigitValue(idAnswer[2]);
  const int lo = image::hex::DigitValue(idAnswer[3]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return hi * 16 + lo;
}

void ProgrammerUnit::Select(int address) { link_.SendString(SelectCommand(address) + "\r"); }

void ProgrammerUnit::AskType() { link_.SendString("ID\r"); }

void ProgrammerUnit::Probe(int address) { link_.SendString(ProbeCommand(address) + "\r"); }

void ProgrammerUnit::ProbeAfterRateChange() { link_.SendString(ProbeCommand(0) + "\r\r"); }

void ProgrammerUnit::SendHostKey() { link_.SendString("QV550274\r"); }

void SelectBeforeRun::Send(int address) {
  unit_.Select(address);
  sentAt_ = loop_.Now();
}

void ModuleDetection::Start(int address) {
  address_ = address;
  stage_ = Stage::Select;
  passes_ = 0;
  typeAsks_ = 0;
  type_ = 0;
  result_ = Result::Pending;
}

ModuleDetection::Result ModuleDetection::Conclude(Result result) {
  stage_ = Stage::Over;
  return result_ = result;
}

void ModuleDetection::AskType() {
  if (OnTypeAsked) OnTypeAsked();
  unit_.AskType();
  ++typeAsks_;
  sentAt_ = loop_.Now();
  stage_ = Stage::AwaitType;
}

ModuleDetection::Result ModuleDetection::Tick(bool answerDelivered) {
  const auto waited = [this] { return loop_.Now() - sentAt_; };
  switch (stage_) {
  case Stage::Select:
    loop_.Sleep(kTiming.beforeSelectMs);
    if (++passes_ >= kTiming.selectPasses) return Conclude(Result::NoModule);
    unit_.Select(address_);
    sentAt_ = loop_.Now();
    stage_ = Stage::AwaitSelected;
    break;
  case Stage::AwaitSelected:
    if (answerDelivered) {
      // Any answer counts: what it says is the type's question to settle.
      link_.DropAnswer();
      stage_ = Stage::AskType;
    } else if (waited() >= kTiming.selectAnswerMs) {
      stage_ = Stage::Select;
    }
    break;
  case Stage::AskType:
    AskType();
    break;
  case Stage::AwaitType:
    if (!answerDelivered) {
      if (waited() < kTiming.typeAnswerMs) break;
      if (typeAsks_ < kTiming.typeAsks) {
        AskType();
        break;
      }
      return Conclude(Result::NoIdAnswer);
    } else {
      const auto type = ProgrammerUnit::TypeIn(link_.TakeAnswer().value_or(""));
      type_ = type.value_or(0);
      return Conclude(type ? Result::Found : Result::Garbled);
    }
  case Stage::Over:
    return result_;
  }
  return Result::Pending;
}

} // namespace vk::programmer
