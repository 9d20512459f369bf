#pragma once
// One body for the protocol targets: a catalogue entry's run, driven by the run controller in
// virtual time against a device model whose faults, and the line between them, come from the fuzz
// input. A target file names the entry, builds the model and says what the run may claim.
//
// The input: FuzzedDataProvider takes the image, the model's settings and its scripted faults
// from the end; the front is the line's fault stream, one action per byte the device sends:
//   00-DF  the byte passes                 E8-EB  the byte is lost
//   E0-E7  one bit of it flipped           EC-EF  the next stream byte goes first (noise)
//   F0-FB  it and what follows are held back the next stream byte x 20 ms (a stall)
//   FC-FE  the byte passes                 FF     the adapter is pulled out
// Once the stream is used up, bytes pass. The line never makes a character the host takes as
// a yes (the target's `acknowledgements`) out of another one: a device that is lied to on the
// wire cannot be held to its flash, and a real cable does not invent whole answers.
//
// Rules, checked after every run (a broken rule aborts, so libFuzzer keeps the input):
//   - the run ends, within the time the protocol's own limits allow (plus the stalls);
//   - a failed run names a reason;
//   - "Programmed" only with the device's flash equal to the image over the image's range;
//   - the target's own rule on what a check reported.

#include "ImageChecks.h"

#include "cpu/Kernels.h"
#include "cpu/QX4T.h"
#include "devsim/FaultScript.h"
#include "devsim/Qx4tCanLoader.h"
#include "devsim/SerialDeviceModel.h"
#include "image/FirmwareImage.h"
#include "link/CanLink.h"
#include "link/Selector.h"
#include "link/SerialLink.h"
#include "platform/SimulatedEventLoop.h"
#include "platform/SimulatedSerial.h"
#include "programmer/CpuFactory.h"
#include "programmer/RunController.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vk::fuzz {

using platform::Millis;
using programmer::FailReason;
using programmer::RunOutcome;
using programmer::RunResult;

// VK_FUZZ_VERBOSE: 1 prints each run's outcome and log, 2 also the device's transcript and what
// the line handed to the host.
inline int Verbose() {
  static const int level = [] {
    const char* v = std::getenv("VK_FUZZ_VERBOSE");
    return v ? std::atoi(v) : 0;
  }();
  return level;
}

// Bytes as text, others in hexadecimal.
inline std::string Shown(std::string_view bytes) {
  std::string shown;
  for (unsigned char c : bytes) {
    char hex[8];
    std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F ? "%c" : "<%02X>", c);
    shown += hex;
  }
  return shown;
}

// The fault stream's reading, shared by the serial line and the CAN bus: one action per piece the
// device sends (a byte, a frame). What a flip or noise does to the piece is the caller's; the
// stream's own bookkeeping (stalls, the unplugging, whether anything was altered) is here.
class FaultStream {
public:
  enum class Fault : std::uint8_t { None, Flip, Drop, Noise, Unplug };
  struct Action {
    Fault fault = Fault::None;
    int bit = 0;   // for a flip
    Millis at = 0; // when the piece goes out: after the one before, and after a stall
    bool Alters() const {
      return fault == Fault::Flip || fault == Fault::Drop || fault == Fault::Noise;
    }
  };

  FaultStream(std::vector<std::uint8_t> stream, std::string_view acknowledgements)
      : stream_(std::move(stream)), acks_(acknowledgements) {}

  // The action for a piece that arrives at now; a stall's byte is read and counted here.
  Action Take(Millis now) {
    const auto action = Next().value_or(0);
    Action a{Fault::None, action & 7, std::max(now, lastAt_)};
    if (action >= 0xE0 && action <= 0xE7) {
      a.fault = Fault::Flip;
    } else if (action >= 0xE8 && action <= 0xEB) {
      a.fault = Fault::Drop;
    } else if (action >= 0xEC && action <= 0xEF) {
      a.fault = Fault::Noise;
    } else if (action >= 0xF0 && action <= 0xFB) {
      const Millis stall = 20 * static_cast<Millis>(Next().value_or(0));
      heldMs_ += stall;
      a.at += stall;
    } else if (action == 0xFF) {
      a.fault = Fault::Unplug;
      unplugged_ = true;
    }
    return a;
  }
  std::optional<std::uint8_t> Next() {
    if (pos_ >= stream_.size()) return std::nullopt;
    return stream_[pos_++];
  }
  bool IsAck(std::uint8_t b) const { return acks_.find(static_cast<char>(b)) != acks_.npos; }
  void MarkAltered() { altered_ = true; }
  // The piece went out at `at`: the next goes no earlier.
  void Sent(Millis at) { lastAt_ = at; }

  bool Altered() const { return altered_; }
  Millis HeldMs() const { return heldMs_; }
  bool Unplugged() const { return unplugged_; }

private:
  std::vector<std::uint8_t> stream_;
  std::size_t pos_ = 0;
  std::string_view acks_;
  Millis lastAt_ = 0;
  Millis heldMs_ = 0;
  bool altered_ = false;
  bool unplugged_ = false;
};

// The device's side of the simulated line, with the faults of the stream between them.
class FaultyLine {
public:
  FaultyLine(platform::SimulatedEventLoop& loop,
             std::shared_ptr<platform::SimulatedSerialLine> line, devsim::SerialDeviceModel& model,
             std::vector<std::uint8_t> stream, std::string_view acknowledgements,
             bool mayAlterBytes)
      : loop_(loop), line_(std::move(line)), model_(model),
        faults_(std::move(stream), acknowledgements), mayAlter_(mayAlterBytes) {
    line_->SetOnWrite([this](const std::string&) { hostWrote_ = true; });
    id_ = loop_.AddPoller([this](Millis now) { Pump(now); }, [this] { return NextDue(); });
  }
  ~FaultyLine() {
    loop_.RemovePoller(id_);
    line_->SetOnWrite(nullptr);
  }
  FaultyLine(const FaultyLine&) = delete;
  FaultyLine& operator=(const FaultyLine&) = delete;

  bool Altered() const { return faults_.Altered(); } // a byte was flipped, lost or put in
  Millis HeldMs() const { return faults_.HeldMs(); } // the stalls' time, summed
  bool Unplugged() const { return faults_.Unplugged(); }

private:
  struct Held {
    Millis at;
    std::uint8_t byte;
  };

  void Shape(std::uint8_t byte, Millis now) {
    auto a = faults_.Take(now);
    if (a.Alters() && !mayAlter_) a.fault = FaultStream::Fault::None;
    if (a.fault == FaultStream::Fault::Flip) {
      const auto flipped = static_cast<std::uint8_t>(byte ^ (1u << a.bit));
      if (!faults_.IsAck(flipped)) {
        byte = flipped;
        faults_.MarkAltered();
      }
    } else if (a.fault == FaultStream::Fault::Drop) {
      faults_.MarkAltered();
      return;
    } else if (a.fault == FaultStream::Fault::Noise) {
      const auto noise = faults_.Next().value_or(0x9C);
      if (!faults_.IsAck(noise)) {
        held_.push_back({a.at, noise});
        faults_.MarkAltered();
      }
    }
    faults_.Sent(a.at);
    held_.push_back({a.at, byte});
  }

  void Pump(Millis now) {
    if (gone_) return;
    const devsim::HostLine host = devsim::HostLineOf(line_->Settings());
    if (!(host == model_.CurrentHostLine())) model_.SetHostLine(host, now);
    hostWrote_ = false;
    const std::string in = line_->TakeReceived();
    if (!in.empty())
      model_.Receive(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(), now);
    for (std::uint8_t b : model_.TakeOutput(now)) {
      Shape(b, now);
      if (faults_.Unplugged()) break;
    }
    std::string out;
    while (!held_.empty() && held_.front().at <= now && !faults_.Unplugged()) {
      out.push_back(static_cast<char>(held_.front().byte));
      held_.pop_front();
    }
    if (!out.empty()) {
      line_->Send(out);
      if (Verbose() >= 2) std::fprintf(stderr, "%9.3f  line> %s\n", now / 1e3, Shown(out).c_str());
    }
    if (faults_.Unplugged() || model_.HungUp()) {
      gone_ = true;
      line_->HangUp(EIO);
    }
  }

  std::optional<Millis> NextDue() const {
    const Millis now = loop_.Now();
    if (gone_) return std::nullopt;
    if (hostWrote_) return now + 1;
    const platform::LineSettings s = line_->Settings();
    const devsim::HostLine& h = model_.CurrentHostLine();
    if (s.BaudRate != h.baud || s.Dtr != h.dtr || s.Rts != h.rts ||
        (s.Parity == 2) != (h.parity == devsim::Parity::Even) ||
        (s.Parity == 1) != (h.parity == devsim::Parity::Odd))
      return now + 1;
    std::optional<Millis> due = model_.NextDue();
    if (model_.HungUp()) due = now + 1;
    if (!held_.empty()) due = due ? std::min(*due, held_.front().at) : held_.front().at;
    return due;
  }

  platform::SimulatedEventLoop& loop_;
  std::shared_ptr<platform::SimulatedSerialLine> line_;
  devsim::SerialDeviceModel& model_;
  FaultStream faults_;
  bool mayAlter_;
  std::deque<Held> held_;
  bool gone_ = false;
  bool hostWrote_ = false;
  int id_ = 0;
};

// The CAN loader's side of the bus, as the link's PCAN driver sees it, with the faults of the
// stream: one action per frame the loader sends, as for a serial line's bytes (a flip changes a
// bit of one data byte; noise is a frame of the loader's identifier with stream bytes; the
// adapter pulled out makes every driver call fail as a pulled PCAN-USB does). A first data byte
// the host takes as a yes (`acknowledgements`) is never made out of another one.
class FaultyBus : public link::IPcanUsb {
public:
  FaultyBus(platform::SimulatedEventLoop& loop, devsim::Qx4tCanLoader& node,
            std::vector<std::uint8_t> stream, std::string_view acknowledgements)
      : loop_(loop), node_(node), faults_(std::move(stream), acknowledgements) {
    id_ = loop_.AddPoller([this](Millis now) { Pump(now); }, [this] { return NextDue(); });
  }
  ~FaultyBus() override { loop_.RemovePoller(id_); }
  FaultyBus(const FaultyBus&) = delete;
  FaultyBus& operator=(const FaultyBus&) = delete;

  std::uint32_t CAN_Init(std::uint16_t, int) override { return Gone(); }
  std::uint32_t CAN_Write(const link::CanMsg& msg) override {
    if (faults_.Unplugged()) return link::CAN_ERR_ILLHW;
    platform::CanFrame f;
    f.id = msg.ID;
    f.length = std::min<std::uint8_t>(msg.LEN, 8);
    std::copy(msg.DATA, msg.DATA + f.length, f.data.begin());
    node_.Receive(f, loop_.Now());
    return link::CAN_ERR_OK;
  }
  std::uint32_t CAN_Read(link::CanMsg& msg) override {
    if (faults_.Unplugged()) return link::CAN_ERR_ILLHW;
    if (held_.empty() || held_.front().at > loop_.Now()) return link::CAN_ERR_QRCVEMPTY;
    const platform::CanFrame f = held_.front().frame;
    held_.pop_front();
    msg = {};
    msg.ID = f.id;
    msg.LEN = f.length;
    std::copy(f.data.begin(), f.data.begin() + f.length, msg.DATA);
    return link::CAN_ERR_OK;
  }
  std::uint32_t CAN_Close() override { return Gone(); }

  bool Altered() const { return faults_.Altered(); }
  Millis HeldMs() const { return faults_.HeldMs(); }

private:
  struct Held {
    Millis at;
    platform::CanFrame frame;
  };
  std::uint32_t Gone() const {
    return faults_.Unplugged() ? link::CAN_ERR_ILLHW : link::CAN_ERR_OK;
  }
  void Shape(platform::CanFrame f, Millis now) {
    auto a = faults_.Take(now);
    if (a.fault == FaultStream::Fault::Flip && f.length == 0) a.fault = FaultStream::Fault::None;
    if (a.fault == FaultStream::Fault::Flip) {
      const std::size_t i = faults_.Next().value_or(0) % f.length;
      const auto flipped = static_cast<std::uint8_t>(f.data[i] ^ (1u << a.bit));
      if (i != 0 || !faults_.IsAck(flipped)) {
        f.data[i] = flipped;
        faults_.MarkAltered();
      }
    } else if (a.fault == FaultStream::Fault::Drop) {
      faults_.MarkAltered();
      return;
    } else if (a.fault == FaultStream::Fault::Noise) {
      platform::CanFrame noise;
      noise.id = f.id;
      noise.length = static_cast<std::uint8_t>(faults_.Next().value_or(1) % 9);
      for (std::uint8_t k = 0; k < noise.length; ++k) noise.data[k] = faults_.Next().value_or(0xE5);
      if (noise.length == 0 || !faults_.IsAck(noise.data[0])) {
        held_.push_back({a.at, noise});
        faults_.MarkAltered();
      }
    } else if (a.fault == FaultStream::Fault::Unplug) {
      return;
    }
    faults_.Sent(a.at);
    held_.push_back({a.at, f});
  }

  void Pump(Millis now) {
    for (const auto& f : node_.TakeOutput(now)) {
      if (faults_.Unplugged()) break;
      Shape(f, now);
    }
  }
  std::optional<Millis> NextDue() const {
    return faults_.Unplugged() ? std::nullopt : node_.NextDue();
  }

  platform::SimulatedEventLoop& loop_;
  devsim::Qx4tCanLoader& node_;
  FaultStream faults_;
  std::deque<Held> held_;
  int id_ = 0;
};

// What a run did, for the target's own rule.
struct RunFacts {
  RunOutcome outcome;
  std::vector<std::string> log;
  bool lineAltered = false;
  const image::FirmwareImage* image = nullptr;
  const devsim::SerialDeviceModel* device = nullptr; // the serial device; null on CAN
  std::vector<std::uint8_t> flash;                   // the device's flash, from address 0
};

struct ProtocolTarget {
  std::string entry; // the catalogue entry
  int module = 0;    // the module address the run addresses
  int kernelNo = 0;  // the boot kernel the entry sends (a generated one), 0: none
  std::string_view acknowledgements;
  // Builds the device from the input (settings and scripted faults): a serial one, or the CAN
  // loader (the run then goes over the CAN link, "PCAN").
  std::function<std::unique_ptr<devsim::SerialDeviceModel>(FuzzedDataProvider&)> makeDevice;
  std::function<std::unique_ptr<devsim::Qx4tCanLoader>(FuzzedDataProvider&)> makeCanNode;
  // The longest the run may take by the protocol's own limits, for an image of `records` blocks.
  std::function<Millis(int records)> runLimitMs;
  // Where the image lies: blocks of `blockSize` from `imageFrom`, `imageSlots` places.
  std::uint32_t imageFrom = 0;
  int imageSlots = 8;
  // The line may flip, drop and put in bytes (false: stalls and unplugging only).
  bool lineMayAlter = true;
  // Starts the run and gives what to do at each tick (the timer's, and one for every line the
  // link delivers: fromLink); the tick returns false once nothing is left to do. Default: the
  // run armed at once and carried by the controller alone.
  using Tick = std::function<bool(bool fromLink)>;
  std::function<Tick(programmer::RunController&, link::SerialLink&, platform::IEventLoop&)> start;
  // The target's rule on the outcome; the generic ones run first.
  std::function<void(const RunFacts&)> check;
};

// Up to three scripted-fault rules of the model's language: the n-th data record (or a range),
// silence or a hang-up after the n-th, or the k-th command of a name in `commands` ("" : of any
// name), each with one of `actions`.
inline std::vector<std::string> FaultRules(FuzzedDataProvider& in,
                                           const std::vector<std::string>& commands,
                                           const std::vector<std::string>& actions) {
  std::vector<std::string> rules;
  const int count = in.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < count; ++i) {
    const std::string action =
        actions[in.ConsumeIntegralInRange<std::size_t>(0, actions.size() - 1)];
    const unsigned n = in.ConsumeIntegralInRange(1u, 12u);
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      rules.push_back("record:" + std::to_string(n) + "=" + action);
      break;
    case 1:
      rules.push_back("record:" + std::to_string(n) + "-" +
                      std::to_string(n + in.ConsumeIntegralInRange(0u, 6u)) + "=" + action);
      break;
    case 2:
      rules.push_back("after-records:" + std::to_string(n) + "=" +
                      (in.ConsumeBool() ? "silent" : "hangup"));
      break;
    default:
      rules.push_back(
          "command:" + commands[in.ConsumeIntegralInRange<std::size_t>(0, commands.size() - 1)] +
          "#" + std::to_string(in.ConsumeIntegralInRange(1u, 3u)) + "=" + action);
      break;
    }
  }
  return rules;
}

// An S-record kernel text of 1,024 bytes that look like code, for the entries that send one.
inline std::vector<std::string> KernelLines() {
  std::vector<std::string> lines = {"S00600004844521B"};
  char buf[80];
  for (unsigned off = 0; off < 1024; off += 16) {
    const unsigned a = 0xF780 + off;
    unsigned sum = 19 + (a >> 8) + (a & 0xFF);
    int n = std::snprintf(buf, sizeof buf, "S113%04X", a);
    for (unsigned i = 0; i < 16; ++i) {
      const unsigned v = ((off + i) * 37 + 11) & 0xFF;
      n += std::snprintf(buf + n, sizeof buf - n, "%02X", v);
      sum += v;
    }
    std::snprintf(buf + n, sizeof buf - n, "%02X", ~sum & 0xFF);
    lines.push_back(buf);
  }
  lines.push_back("S9030000FC");
  return lines;
}

// The image: 1 to 3 blocks at places the input picks, each of a pattern it seeds (some blank).
inline std::string ImageText(FuzzedDataProvider& in, const ProtocolTarget& t, int blockSize,
                             int& records) {
  std::string text;
  records = in.ConsumeIntegralInRange(1, 3);
  for (int r = 0; r < records; ++r) {
    const std::uint32_t at =
        t.imageFrom + blockSize * in.ConsumeIntegralInRange(0, std::max(0, t.imageSlots - 1));
    const std::uint8_t seed = in.ConsumeIntegral<std::uint8_t>();
    for (int off = 0; off < blockSize; off += 16) {
      const std::uint32_t a = (at + off) & 0xFFFF;
      unsigned sum = 16 + (a >> 8) + (a & 0xFF);
      char buf[64];
      int n = std::snprintf(buf, sizeof buf, ":10%04X00", a);
      for (int i = 0; i < 16; ++i) {
        const unsigned v = seed == 0xFF ? 0xFF : (seed + 29 * (off + i)) & 0xFF;
        n += std::snprintf(buf + n, sizeof buf - n, "%02X", v);
        sum += v;
      }
      std::snprintf(buf + n, sizeof buf - n, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
      text += buf;
    }
  }
  return text + ":00000001FF\r\n";
}

class RunDisplay : public programmer::IRunDisplay {
public:
  explicit RunDisplay(int module) : module_(module) {}
  int ModuleAddress() const override { return module_; }
  void Status(const std::string&) override {}
  void Hint(const std::string&) override {}
  void Log(const std::string& line) override { log.push_back(line); }
  void EntrySelected(const programmer::TargetNode&, bool) override {}
  void ShowSummary() override {}
  void ShowPage() override {}
  std::vector<std::string> log;

private:
  int module_;
};

inline std::vector<std::uint8_t> FlashOf(const devsim::SerialDeviceModel* device,
                                         const devsim::Qx4tCanLoader* node) {
  if (node) return {node->Flash().begin(), node->Flash().end()};
  return device->FlashImage();
}

inline int RunProtocolTarget(const std::uint8_t* data, std::size_t size, const ProtocolTarget& t) {
  FuzzedDataProvider in(data, size);
  static const programmer::CatalogueEntry* entry = programmer::FindEntryByName(t.entry);
  VK_REQUIRE(entry != nullptr);

  static cpu::BootKernel* kernel = [&] {
    auto* k = new cpu::BootKernel(t.kernelNo, {});
    if (t.kernelNo != 0) {
      k->Lines = KernelLines();
      k->ParseLines();
      VK_REQUIRE(k->Loaded());
    }
    return k;
  }();

  int records = 0;
  const std::string text = ImageText(in, t, entry->BlockSize, records);
  std::unique_ptr<devsim::SerialDeviceModel> device;
  std::unique_ptr<devsim::Qx4tCanLoader> node;
  if (t.makeCanNode)
    node = t.makeCanNode(in);
  else
    device = t.makeDevice(in);
  const std::vector<std::uint8_t> stream = in.ConsumeRemainingBytes<std::uint8_t>();

  platform::SimulatedEventLoop loop;
  loop.SetSkipIdle(true);
  platform::SimulatedSerialPorts ports;
  std::unique_ptr<FaultyBus> bus;
  std::unique_ptr<link::CanLink> can;
  link::ListSelector canAddress, canSpeed;
  if (node) {
    bus = std::make_unique<FaultyBus>(loop, *node, stream, t.acknowledgements);
    can = std::make_unique<link::CanLink>(loop, *bus, [](const link::LinkMessage&) {});
    // The loader's start and stop messages go with the link, as in the window and vkprog.
    cpu::qx4t_can::Attach(*can, [](const std::string&) {});
    can->FillAddressList(canAddress);
    can->FillSpeedList(canSpeed);
    canAddress.SetCurrentIndex(node->Config().node - 1);
  }
  std::shared_ptr<platform::SimulatedSerialLine> line;
  if (device) line = ports.Add(1);
  link::SerialLink link(
      loop, ports, nullptr, [](const link::LinkMessage&) {}, can.get());
  link::ListSelector selector;
  selector.AddEntry("PCAN");
  link.FillPortList(selector);
  if (node) {
    selector.SetCurrentIndex(0);
    link.PortListChange(selector);
  }
  std::unique_ptr<FaultyLine> faulty;
  if (device)
    faulty = std::make_unique<FaultyLine>(loop, line, *device, stream, t.acknowledgements,
                                          t.lineMayAlter);
  const auto heldMs = [&] { return faulty ? faulty->HeldMs() : bus->HeldMs(); };
  const auto altered = [&] { return faulty ? faulty->Altered() : bus->Altered(); };

  // Kept from run to run: its file area is a megabyte.
  static auto* kept = new image::FirmwareImage();
  image::FirmwareImage& firmware = *kept;
  firmware.Clear();
  VK_REQUIRE(firmware.LoadFromMemory("fuzz.hex", reinterpret_cast<const std::uint8_t*>(text.data()),
                                     text.size()) == image::ImageFormat::IntelHex);
  RunDisplay display(t.module);
  programmer::RunController prg(
      loop, &firmware, &link, [](int) { return kernel; }, programmer::MakeCpuFactory(can.get()));
  prg.SetDisplay(&display);
  std::optional<RunOutcome> outcome;
  prg.OnModuleDone = [&](const RunOutcome& o) {
    VK_REQUIRE(!outcome); // one outcome per run
    outcome = o;
  };
  VK_REQUIRE(prg.SelectByName(t.entry));

  ProtocolTarget::Tick step;
  if (t.start) {
    step = t.start(prg, link, loop);
  } else {
    prg.StartProgram();
    step = [&prg](bool) { return prg.RunStep(); };
  }
  bool running = true;
  auto tick = [&](bool fromLink) {
    if (running) running = step(fromLink);
  };
  auto timer = loop.CreateTimer(10, [&] { tick(false); });
  timer->SetEnabled(true);
  link.OnReceive = [&](link::SerialLink&, const std::string&) { tick(true); };

  // The limit grows with the stalls the line put in as they come.
  const Millis started = loop.Now();
  const Millis ownLimit = t.runLimitMs(records);
  auto overdue = [&] { return loop.Now() - started > ownLimit + heldMs(); };
  loop.RunUntil([&] { return outcome.has_value() || overdue(); }, 100 * ownLimit);
  if (!outcome) {
    std::fprintf(stderr, "run still going after %lld ms (own limit %lld, stalls %lld)\n",
                 static_cast<long long>(loop.Now() - started), static_cast<long long>(ownLimit),
                 static_cast<long long>(heldMs()));
    VK_REQUIRE(outcome.has_value());
  }
  const RunOutcome& o = *outcome;
  if (Verbose() >= 2 && device) {
    for (const auto& e : device->Transcript())
      std::fprintf(stderr, "%9.3f %s %s\n", static_cast<double>(e.at) / 1e6,
                   e.kind == devsim::TranscriptEntry::Kind::FromHost ? "host>"
                   : e.kind == devsim::TranscriptEntry::Kind::ToHost ? "dev> "
                                                                     : "----",
                   Shown(e.bytes).c_str());
    std::fprintf(stderr, "%s\n", device->Summary().c_str());
  }
  if (Verbose() >= 1) {
    for (const auto& l : display.log) std::fprintf(stderr, "  log: %s\n", l.c_str());
    std::fprintf(stderr, "%s: %s (%s) after %lld ms, line %s\n", t.entry.c_str(),
                 o.result == RunResult::Failed ? programmer::FailReasonText(o.reason) : "ended",
                 o.detail.c_str(), static_cast<long long>(loop.Now() - started),
                 altered() ? "altered" : "clean");
  }
  if (o.result == RunResult::Failed) VK_REQUIRE(o.reason != FailReason::None);
  if (o.result == RunResult::Programmed) {
    const std::vector<std::uint8_t> flash = FlashOf(device.get(), node.get());
    VK_REQUIRE(flash.size() >= firmware.MemEnd());
    for (std::uint32_t a = firmware.MemStart(); a < firmware.MemEnd(); ++a) {
      if (flash[a] != firmware.Image()[a]) {
        std::fprintf(stderr,
                     "Programmed, but the flash holds %02X at %04X where the image has %02X\n",
                     flash[a], a, firmware.Image()[a]);
        VK_REQUIRE(flash[a] == firmware.Image()[a]);
      }
    }
  }
  if (t.check)
    t.check(
        {o, display.log, altered(), &firmware, device.get(), FlashOf(device.get(), node.get())});
  link.OnReceive = nullptr;
  return 0;
}

} // namespace vk::fuzz
