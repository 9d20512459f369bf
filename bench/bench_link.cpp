// Latency of the serial link over a real pseudo-terminal, worker thread and all:
//  - a 268-character record queued on an idle line, until its last byte reaches the far end;
//  - a received line, from the far end writing its terminator until the entry is in RxLines.
// 1,000 of each; the median and the 99th percentile are printed (goal: both within 1 ms).

#include "app/UserMessages.h"
#include "link/SerialLink.h"
#include "platform/PosixSerial.h"
#include "platform/QtEventLoop.h"
#include "platform/RecordingMessageBox.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = 1000;

struct Pty {
  Pty() {
    char name[256] = {};
    int slave = -1;
    ::openpty(&master, &slave, name, nullptr, nullptr);
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    slaveFd = slave;
    path = name;
  }
  ~Pty() {
    ::close(master);
    ::close(slaveFd);
  }
  int master = -1, slaveFd = -1;
  std::string path;
};

// A link on COM1 = the pty, opened and idle.
struct Link {
  Link()
      : ports(vk::platform::PortMap({{1, pty.path}}, false)),
        comm(loop, ports, nullptr, vk::app::TellInBoxes(boxes)) {
    comm.FillPortList(selector);
    loop.RunUntil([&] { return comm.IsOpen(); }, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Pty pty;
  vk::platform::PosixSerialPorts ports;
  vk::platform::QtEventLoop loop;
  vk::platform::RecordingMessageBox boxes;
  vk::link::ListSelector selector;
  vk::link::SerialLink comm;
};

struct Figures {
  double median_us, p99_us, max_us;
};

Figures Summarise(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100], us.back()};
}

void Report(benchmark::State& state, const char* what, const Figures& f) {
  state.counters["median_us"] = f.median_us;
  state.counters["p99_us"] = f.p99_us;
  state.counters["max_us"] = f.max_us;
  std::printf("%s: median %.0f us, 99th percentile %.0f us, worst %.0f us (%d samples)\n", what,
              f.median_us, f.p99_us, f.max_us, kSamples);
}

void QueuedRecordToFarEnd(benchmark::State& state) {
  Link link;
  // An Intel HEX data record of 128 bytes with its CR: 1 + 2 + 4 + 2 + 256 + 2 + 1 = 268.
  std::string record = ":80000000";
  for (int i = 0; i < 128; ++i) record += "A5";
  record += "2A\r";
  std::vector<double> us;
  for (auto _ : state) {
    us.clear();
    for (int i = 0; i < kSamples; ++i) {
      const auto start = Clock::now();
      link.comm.SendString(record);
      std::size_t got = 0;
      char buffer[512];
      while (got < record.size()) {
        pollfd p{link.pty.master, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) break;
        const ssize_t n = ::read(link.pty.master, buffer, sizeof buffer);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      std::this_thread::sleep_for(std::chrono::microseconds(300)); // idle line again
    }
  }
  Report(state, "268-character record queued -> far end", Summarise(us));
}

void ReceivedLineToRxLines(benchmark::State& state) {
  Link link;
  std::vector<double> us;
  const std::string body = "OK 12 module answers";
  for (auto _ : state) {
    us.clear();
    for (int i = 0; i < kSamples; ++i) {
      link.comm.RxLines.Clear();
      if (::write(link.pty.master, body.data(), body.size()) < 0) break;
      std::this_thread::sleep_for(std::chrono::microseconds(300)); // the body is in
      const auto start = Clock::now();
      if (::write(link.pty.master, "\r", 1) < 0) break;
      const auto limit = start + std::chrono::seconds(1);
      while (link.comm.RxLines.Empty() && Clock::now() < limit)
        std::this_thread::yield(); // leave the cores to the worker and the terminal driver
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  Report(state, "received line terminator -> RxLines", Summarise(us));
}

BENCHMARK(QueuedRecordToFarEnd)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ReceivedLineToRxLines)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
