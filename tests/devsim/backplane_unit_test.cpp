// The backplane programmer unit model, driven in-process in virtual time.

#include "devsim/BackplaneUnit.h"
#include "devsim/Transcript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using vk::devsim::BackplaneConfig;
using vk::devsim::BackplaneUnit;
using vk::devsim::DeliveredBytes;
using vk::devsim::Fault;
using vk::devsim::FaultAction;
using vk::devsim::Millis;
using vk::devsim::ParseFault;
using vk::devsim::TranscriptEntry;

namespace {

// The host side of the line: writes at a virtual time and collects what arrived by then.
struct Host {
  BackplaneUnit& unit;
  Millis now = 0;

  void Write(std::string_view text) {
    unit.Receive(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), now);
  }
  std::string ReadAt(Millis t) {
    now = t;
    const auto bytes = unit.TakeOutput(now);
    return std::string(bytes.begin(), bytes.end());
  }
  // Writes and returns what has arrived by the same instant (no pacing: the whole answer).
  std::string Ask(std::string_view text) {
    Write(text);
    return ReadAt(now);
  }
  void Baud(std::uint32_t baud) { unit.SetHostBaud(baud, now); }
};

// One Intel HEX data record as the host sends it: upper-case digits, CR, no LF.
std::string DataRecord(std::uint16_t address, const std::vector<std::uint8_t>& data,
                       int checksumError = 0) {
  std::string text = ":";
  char buf[8];
  std::uint8_t sum = 0;
  auto put = [&](std::uint8_t b) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    text += buf;
    sum = static_cast<std::uint8_t>(sum + b);
  };
  put(static_cast<std::uint8_t>(data.size()));
  put(static_cast<std::uint8_t>(address >> 8));
  put(static_cast<std::uint8_t>(address & 0xFF));
  put(0);
  for (const auto b : data) put(b);
  std::snprintf(buf, sizeof buf, "%02X", static_cast<std::uint8_t>(-sum + checksumError));
  return text + buf + "\r";
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

const std::string kEnd = ":00000001FF\r";

// A unit with module 7 selected and erased, in load mode, answers consumed.
void PrepareLoad(Host& host) {
  ASSERT_EQ(host.Ask("OP 7\r"), "OK\r\n");
  host.Write("erase1\r");
  EXPECT_EQ(host.ReadAt(host.now + host.unit.Config().eraseMs), "OK\r\n");
  EXPECT_EQ(host.Ask("L\r"), "");
}

TEST(BackplaneUnit, FullRunFromSelectionToStart) {
  BackplaneUnit unit;
  ASSERT_TRUE(unit.AddModule(7, 136));
  ASSERT_TRUE(unit.AddModule(8, 136));
  EXPECT_FALSE(unit.AddModule(8, 1)) << "an address holds one module";
  Host host{unit};
  std::string sent, answers;
  auto ask = [&](std::string_view text, Millis at) {
    host.now = at;
    host.Write(text);
    sent += text;
    const std::string got = host.ReadAt(at);
    answers += got;
    return got;
  };

  EXPECT_EQ(ask("OP 7\r", 0), "OK\r\n");
  EXPECT_EQ(ask("ID\r", 10), "ID88\r\n");
  EXPECT_EQ(ask("QV550274\r", 20), "");
  EXPECT_TRUE(unit.FastRateEnabled());
  EXPECT_EQ(ask("OP 7\r", 700), "OK\r\n");
  EXPECT_EQ(ask("erase1\r", 800), "");
  ASSERT_EQ(unit.NextDue(), 800 + 1500);
  EXPECT_EQ(host.ReadAt(2299), "");
  answers += host.ReadAt(2300);
  EXPECT_EQ(answers.substr(answers.size() - 4), "OK\r\n");
  EXPECT_EQ(ask("L\r", 2310), "") << "any answer to L would be taken for the first record's";
  const auto image = Pattern(512, 0x10);
  for (int r = 0; r < 4; ++r) {
    std::vector<std::uint8_t> block(image.begin() + r * 128, image.begin() + (r + 1) * 128);
    EXPECT_EQ(ask(DataRecord(static_cast<std::uint16_t>(r * 128), block), 2320 + r * 10), ".\r\n");
  }
  EXPECT_EQ(ask(kEnd, 2400), "");
  EXPECT_FALSE(unit.InLoadMode());
  EXPECT_EQ(ask("G\r", 2410), "");
  EXPECT_FALSE(unit.SelectedAddress().has_value());
  EXPECT_FALSE(unit.NextDue().has_value());

  const auto* m7 = unit.FindModule(7);
  ASSERT_NE(m7, nullptr);
  for (std::uint32_t a = 0; a < BackplaneUnit::kFlashSize; ++a) {
    const std::uint8_t want = a < image.size() ? image[a] : 0xFF;
    ASSERT_EQ(m7->flash[a], want) << "address " << a;
  }
  EXPECT_EQ(m7->erase1Count, 1);
  EXPECT_EQ(m7->records, 4u);
  EXPECT_EQ(m7->bytesProgrammed, 512u);
  EXPECT_EQ(m7->endRecords, 1);
  EXPECT_EQ(m7->starts, 1);
  const auto* m8 = unit.FindModule(8);
  EXPECT_EQ(m8->records + m8->erase1Count + m8->starts, 0u);
  EXPECT_EQ(std::count(m8->flash.begin(), m8->flash.end(), 0xFF), 0x10000);

  // The transcript holds every byte each way, in order and timed.
  const auto& t = unit.Transcript();
  EXPECT_EQ(DeliveredBytes(t, TranscriptEntry::Kind::FromHost), sent);
  EXPECT_EQ(DeliveredBytes(t, TranscriptEntry::Kind::ToHost), answers);
  for (std::size_t i = 1; i < t.size(); ++i) EXPECT_GE(t[i].at, t[i - 1].at);
  const auto erased = std::find_if(t.begin(), t.end(), [](const TranscriptEntry& e) {
    return e.kind == TranscriptEntry::Kind::ToHost && e.at == 2300 * 1000;
  });
  EXPECT_NE(erased, t.end()) << "the erase answer is stamped with its virtual time";
  EXPECT_NE(unit.Summary().find("module 7 (type 136 = 0x88): erase1 x1"), std::string::npos);
  EXPECT_NE(unit.Summary().find("module 8 (type 136 = 0x88): untouched"), std::string::npos);
}

TEST(BackplaneUnit, SelectionAndTypeQuery) {
  BackplaneUnit unit;
  unit.AddModule(0, 0x0A);
  unit.AddModule(5, 255);
  unit.AddModule(12, 136);
  Host host{unit};
  EXPECT_EQ(host.Ask("OP5\r"), "OK\r\n") << "the device finder sends no space";
  EXPECT_EQ(host.Ask("ID\r"), "IDFF\r\n");
  EXPECT_EQ(host.Ask("OP0\r\r"), "OK\r\n") << "the second CR is an empty command";
  EXPECT_EQ(host.Ask("ID\r\n"), "ID0A\r\n") << "LF is ignored";
  EXPECT_EQ(host.Ask("OP 12\r"), "OK\r\n");
  EXPECT_EQ(unit.SelectedAddress(), 12);
  EXPECT_EQ(host.Ask("OP 9\r"), "") << "no module at 9: silence";
  EXPECT_FALSE(unit.SelectedAddress().has_value());
  EXPECT_EQ(host.Ask("ID\r"), "") << "no module selected";
  EXPECT_EQ(host.Ask("OP 256\r"), "");
  EXPECT_EQ(host.Ask("OP\r"), "");
  EXPECT_EQ(host.Ask("OP 1x\r"), "");
  EXPECT_EQ(host.Ask("HELLO\r"), "");
  EXPECT_EQ(unit.Counters().unknown, 3u);

  BackplaneConfig config;
  config.absentReply = "NO";
  BackplaneUnit chatty(config);
  Host other{chatty};
  EXPECT_EQ(other.Ask("OP 3\r"), "NO\r\n");
}

TEST(BackplaneUnit, EraseRegionsAndTiming) {
  BackplaneConfig config;
  config.eraseMs = 40;
  BackplaneUnit unit(config);
  unit.AddModule(7, 136);
  Host host{unit};
  PrepareLoad(host);
  EXPECT_EQ(host.Ask(DataRecord(0x1000, {1, 2})), ".\r\n");
  EXPECT_EQ(host.Ask(DataRecord(0xBFFF, {3})), ".\r\n");
  EXPECT_EQ(host.Ask(DataRecord(0xC000, {4})), ".\r\n");
  EXPECT_EQ(host.Ask(DataRecord(0xFFFF, {5})), ".\r\n");
  EXPECT_EQ(host.Ask(kEnd), "");

  // erase2 clears 0xC000 upward only; a command sent meanwhile waits for the erase.
  host.now = 1000;
  host.Write("erase2\r");
  host.now = 1010;
  host.Write("ID\r");
  EXPECT_EQ(host.ReadAt(1039), "");
  EXPECT_EQ(host.ReadAt(1040), "OK\r\nID88\r\n");
  const auto* m = unit.FindModule(7);
  EXPECT_EQ(m->flash[0x1000], 1);
  EXPECT_EQ(m->flash[0x1001], 2);
  EXPECT_EQ(m->flash[0xBFFF], 3);
  EXPECT_EQ(m->flash[0xC000], 0xFF);
  EXPECT_EQ(m->flash[0xFFFF], 0xFF);
  EXPECT_EQ(m->erase2Count, 1);

  // erase1 clears the whole flash: an image that starts below 0xC000 may reach past it.
  host.Write("erase1\r");
  EXPECT_EQ(host.ReadAt(host.now + 40), "OK\r\n");
  EXPECT_EQ(std::count(m->flash.begin(), m->flash.end(), 0xFF), 0x10000);

  // Without a module selected nothing is erased and nothing answers.
  EXPECT_EQ(host.Ask("OP 1\r"), "");
  host.Write("erase1\r");
  EXPECT_EQ(host.ReadAt(host.now + 100), "");
}

TEST(BackplaneUnit, ProgrammingTimePerRecord) {
  BackplaneConfig config;
  config.recordMs = 8;
  BackplaneUnit unit(config);
  unit.AddModule(7, 136);
  Host host{unit};
  PrepareLoad(host);
  host.now = 3000;
  host.Write(DataRecord(0, {1}));
  host.Write(DataRecord(1, {2}));
  EXPECT_EQ(host.ReadAt(3007), "");
  EXPECT_EQ(host.ReadAt(3008), ".\r\n");
  EXPECT_EQ(host.ReadAt(3016), ".\r\n") << "the second record waits for the first";
}

TEST(BackplaneUnit, RecordChecksAndRefusals) {
  BackplaneUnit unit;
  unit.AddModule(7, 136);
  Host host{unit};
  PrepareLoad(host);
  const auto* m = unit.FindModule(7);

  EXPECT_EQ(host.Ask(DataRecord(0x0100, {0xAA, 0xBB}, 1)), "X\r\n") << "bad checksum";
  EXPECT_EQ(m->flash[0x0100], 0xFF);
  EXPECT_EQ(host.Ask(":0201000AABB\r"), "X\r\n") << "odd digit count";
  EXPECT_EQ(host.Ask(":03010000AABB97\r"), "X\r\n") << "count does not match the data";
  EXPECT_EQ(host.Ask(":02G10000AABB98\r"), "X\r\n") << "not a hex digit";
  EXPECT_EQ(host.Ask(DataRecord(0x0100, {0xAA, 0xBB})), ".\r\n");
  EXPECT_EQ(host.Ask(":0201000002bb40\r"), ".\r\n") << "lower-case digits are read too";
  EXPECT_EQ(m->flash[0x0100], 0x02);
  EXPECT_EQ(m->flash[0x0101], 0xBB);
  EXPECT_EQ(host.Ask(":020000040001F9\r"), "E\r\n") << "no extended addressing on this unit";
  EXPECT_EQ(host.Ask(DataRecord(0x0100, {0x55})), "E\r\n") << "0x02 cannot become 0x55 unerased";
  EXPECT_EQ(host.Ask(DataRecord(0xFFFE, {1, 2, 3, 4})), ".\r\n");
  EXPECT_EQ(m->flash[0xFFFF], 2);
  EXPECT_EQ(m->flash[0x0000], 3) << "addresses wrap within the 64 KiB";
  EXPECT_EQ(m->records, 3u);
  EXPECT_EQ(m->refused, 6u);

  // A record line outside load mode is no command; after G nothing is selected.
  EXPECT_EQ(host.Ask(kEnd), "");
  EXPECT_EQ(host.Ask(DataRecord(0x0200, {1})), "");
  EXPECT_EQ(host.Ask("G\r"), "");
  EXPECT_EQ(host.Ask("L\r"), "");
  EXPECT_EQ(host.Ask(DataRecord(0x0200, {1})), "E\r\n") << "no module to program";
}

// Records 1..n of 16 bytes each, answered one at a time.
std::vector<std::string> SendRecords(Host& host, int n) {
  std::vector<std::string> answers;
  for (int r = 0; r < n; ++r) {
    host.now += 5;
    answers.push_back(host.Ask(DataRecord(static_cast<std::uint16_t>(r * 16), Pattern(16, 1))));
  }
  return answers;
}

TEST(BackplaneUnit, RecordFaults) {
  struct Case {
    const char* rule;
    std::vector<std::string> answers; // to records 1..4
    std::uint64_t programmed;
  };
  const std::string g = "\x9C\x3F\xF1\r\n";
  const Case cases[] = {
      {"record:2=X", {".\r\n", "X\r\n", ".\r\n", ".\r\n"}, 3},
      {"record:2=E", {".\r\n", "E\r\n", ".\r\n", ".\r\n"}, 3},
      {"record:3=r", {".\r\n", ".\r\n", "R\r\n", ".\r\n"}, 3},
      {"record:2-3=X", {".\r\n", "X\r\n", "X\r\n", ".\r\n"}, 2},
      {"record:1=garbage", {g, ".\r\n", ".\r\n", ".\r\n"}, 4},
      {"record:4=silent", {".\r\n", ".\r\n", ".\r\n", ""}, 4},
      {"after-records:2=silent", {".\r\n", ".\r\n", "", ""}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    BackplaneUnit unit;
    unit.AddModule(7, 136);
    std::string error;
    ASSERT_TRUE(unit.Faults().Add(c.rule, &error)) << error;
    Host host{unit};
    PrepareLoad(host);
    EXPECT_EQ(SendRecords(host, 4), c.answers);
    EXPECT_EQ(unit.FindModule(7)->records, c.programmed);
    EXPECT_FALSE(unit.HungUp());
  }
}

TEST(BackplaneUnit, HangUps) {
  {
    // After record 2 is answered the unit is gone: nothing more is heard or answered.
    BackplaneConfig config;
    BackplaneUnit unit(config);
    unit.AddModule(7, 136);
    unit.Faults().Add("after-records:2=hangup");
    unit.SetPacing(true);
    Host host{unit};
    host.Write("OP 7\r");
    host.ReadAt(10);
    host.Write("L\r");
    host.Write(DataRecord(0, {0x11}));
    host.Write(DataRecord(1, {0x22}));
    host.Write(DataRecord(2, {0x33}));
    EXPECT_EQ(host.ReadAt(100), ".\r\n.\r\n") << "the second answer still goes out";
    EXPECT_TRUE(unit.HungUp());
    EXPECT_FALSE(unit.NextDue().has_value());
    EXPECT_EQ(unit.FindModule(7)->flash[2], 0xFF) << "record 3 was never heard";
    host.Write("OP 7\r");
    EXPECT_EQ(host.ReadAt(200), "");
    EXPECT_GT(unit.PacedSerialModel::Counters().ignoredAfterHangUp, 0u);
  }
  {
    BackplaneUnit unit;
    unit.AddModule(7, 136);
    unit.Faults().Add("record:1=hangup");
    Host host{unit};
    PrepareLoad(host);
    EXPECT_EQ(host.Ask(DataRecord(0, {0x11})), "");
    EXPECT_TRUE(unit.HungUp());
    EXPECT_EQ(unit.FindModule(7)->records, 0u);
  }
  {
    BackplaneUnit unit;
    unit.AddModule(7, 136);
    unit.Faults().Add("command:G=hangup");
    Host host{unit};
    EXPECT_EQ(host.Ask("OP 7\r"), "OK\r\n");
    EXPECT_FALSE(unit.HungUp());
    host.Ask("G\r");
    EXPECT_TRUE(unit.HungUp());
    EXPECT_EQ(unit.FindModule(7)->starts, 0);
  }
}

TEST(BackplaneUnit, CommandFaults) {
  {
    BackplaneUnit unit;
    unit.AddModule(7, 136);
    unit.Faults().Add("silent");
    Host host{unit};
    EXPECT_EQ(host.Ask("OP 7\r"), "");
    EXPECT_EQ(unit.SelectedAddress(), 7) << "silence withholds answers, not actions";
  }
  {
    BackplaneUnit unit;
    unit.AddModule(7, 136);
    unit.AddModule(8, 136);
    unit.Faults().Add("command:ID=silent");
    unit.Faults().Add("command:OP#2=garbage");
    unit.Faults().Add("command:op8=X");
    Host host{unit};
    EXPECT_EQ(host.Ask("OP 7\r"), "OK\r\n");
    EXPECT_EQ(host.Ask("ID\r"), "");
    EXPECT_EQ(host.Ask("OP7\r"), "\x9C\x3F\xF1\r\n");
    EXPECT_EQ(host.Ask("OP 7\r"), "OK\r\n") << "only the second OP";
    EXPECT_EQ(host.Ask("OP 8\r"), "X\r\n");
    EXPECT_EQ(unit.SelectedAddress(), 7) << "a refused selection changes nothing";
    EXPECT_EQ(host.Ask("ID\r"), "");
  }
  {
    BackplaneConfig config;
    config.eraseMs = 20;
    BackplaneUnit unit(config);
    unit.AddModule(7, 136);
    unit.Faults().Add("command:#3=E");
    unit.Faults().Add("command:erase=garbage");
    Host host{unit};
    EXPECT_EQ(host.Ask("OP 7\r"), "OK\r\n");
    host.Write("erase2\r");
    EXPECT_EQ(host.ReadAt(20), "\x9C\x3F\xF1\r\n") << "erased, but the OK is garbled";
    EXPECT_EQ(unit.FindModule(7)->erase2Count, 1);
    EXPECT_EQ(host.Ask("ID\r"), "E\r\n") << "third command of any kind";
  }
}

TEST(BackplaneUnit, FaultRulesThatDoNotParse) {
  for (const char* rule :
       {"record:0=X", "record:3=Q", "record:5-4=X", "record:=X", "bogus", "after-records:2=X",
        "command:=X", "command:OP#0=E", "wire:1=X", "record:1"}) {
    std::string error;
    EXPECT_FALSE(ParseFault(rule, &error).has_value()) << rule;
    EXPECT_NE(error.find(rule), std::string::npos) << error;
  }
  const auto f = ParseFault("command:OP 8#2=hangup", nullptr);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->target, Fault::Target::Command);
  EXPECT_EQ(f->name, "OP8");
  EXPECT_EQ(f->occurrence, 2u);
  EXPECT_EQ(f->action, FaultAction::HangUp);
}

TEST(BackplaneUnit, BitRateRules) {
  BackplaneConfig config;
  config.baseBaud = 9600;
  config.eraseMs = 50;
  BackplaneUnit unit(config);
  unit.AddModule(7, 136);
  Host host{unit};

  host.Baud(115200);
  EXPECT_EQ(host.Ask("OP 7\r"), "") << "the unit does not listen at 115200 yet";
  EXPECT_EQ(unit.PacedSerialModel::Counters().lostIn, 5u);
  EXPECT_FALSE(unit.SelectedAddress().has_value());

  host.Baud(9600);
  EXPECT_EQ(host.Ask("OP 7\r"), "OK\r\n");
  EXPECT_EQ(host.Ask("QV550274\r"), "");
  host.Baud(115200);
  EXPECT_EQ(host.Ask("OP 7\r"), "OK\r\n") << "after QV550274 115200 is heard as well";
  host.Baud(57600);
  EXPECT_EQ(host.Ask("ID\r"), "");
  host.Baud(9600);
  EXPECT_EQ(host.Ask("ID\r"), "ID88\r\n") << "and the unit's own rate still is";

  // The answer goes out at the rate of the command; a host that has moved on gets nothing.
  host.Write("erase1\r");
  host.now += 10;
  host.Baud(115200);
  EXPECT_EQ(host.ReadAt(host.now + 100), "");
  EXPECT_EQ(unit.PacedSerialModel::Counters().lostOut, 4u);

  const auto& t = unit.Transcript();
  const auto lostIn = std::count_if(t.begin(), t.end(), [](const TranscriptEntry& e) {
    return e.kind == TranscriptEntry::Kind::FromHost && e.lost && e.baud == 57600;
  });
  EXPECT_EQ(lostIn, 1);
  EXPECT_EQ(t.back().kind, TranscriptEntry::Kind::ToHost);
  EXPECT_TRUE(t.back().lost);
  EXPECT_EQ(t.back().bytes, "OK\r\n");
}

TEST(BackplaneUnit, PacingLikeARealLine) {
  BackplaneConfig config;
  config.baseBaud = 9600;
  BackplaneUnit unit(config);
  unit.AddModule(7, 136);
  unit.SetPacing(true);
  Host host{unit};
  host.Baud(9600);
  // 5 bytes in, then 4 out, 10 bits each at 9600: the answer is complete after 9.375 ms.
  host.Write("OP 7\r");
  EXPECT_EQ(unit.NextDue(), 2) << "the first byte arrives after 1.04 ms";
  EXPECT_EQ(host.ReadAt(6), "");
  EXPECT_EQ(host.ReadAt(7), "O");
  EXPECT_EQ(host.ReadAt(9), "K\r");
  EXPECT_EQ(unit.NextDue(), 10);
  EXPECT_EQ(host.ReadAt(10), "\n");

  // At 115200 a 128-byte record (268 characters with its CR) and its answer take about 23.5 ms.
  BackplaneUnit fast;
  fast.AddModule(7, 136);
  Host h2{fast};
  PrepareLoad(h2);
  fast.SetPacing(true);
  h2.now = 5000;
  h2.Write(DataRecord(0, Pattern(128, 3)));
  EXPECT_EQ(h2.ReadAt(5023), "");
  EXPECT_EQ(h2.ReadAt(5024), ".\r\n");
  const auto& t = fast.Transcript();
  const auto rec = std::find_if(t.begin(), t.end(), [](const TranscriptEntry& e) {
    return e.kind == TranscriptEntry::Kind::FromHost && e.at >= 5000000;
  });
  ASSERT_NE(rec, t.end());
  EXPECT_EQ(rec->bytes.size(), 268u) << "one entry for a record sent without a pause";
  EXPECT_NEAR(static_cast<double>(rec->end - rec->at), 267 * 1e7 / 115200, 200);
}

} // namespace
