// Reading and writing a full 64 KiB image as Intel HEX and S-records, in process. Throughput is
// counted in bytes of record text (2,048 Intel HEX records or 4,096 S-records of random data).

#include "image/FirmwareImage.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

namespace {

using vk::image::FirmwareImage;
using vk::image::ImageFormat;

enum class Format { IntelHex, SRecord };

const FirmwareImage& RandomFullImage() {
  static const std::unique_ptr<FirmwareImage> image = [] {
    auto v = std::make_unique<FirmwareImage>();
    std::mt19937 rng(20240611);
    for (std::uint32_t a = 0; a < FirmwareImage::kImageSize; ++a)
      v->Image()[a] = static_cast<std::uint8_t>(rng());
    return v;
  }();
  return *image;
}

const std::string& FullText(Format f) {
  static const std::string hex = RandomFullImage().IntelHexText(0, FirmwareImage::kImageSize);
  static const std::string srec = RandomFullImage().SRecordText(0, FirmwareImage::kImageSize);
  return f == Format::IntelHex ? hex : srec;
}

const std::uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

// A benchmark that reads wrongly measures nothing: check the result once after timing.
bool HoldsFullImage(const FirmwareImage& v) {
  return v.MemStart() == 0 && v.MemEnd() == FirmwareImage::kImageSize &&
         std::memcmp(v.Image(), RandomFullImage().Image(), FirmwareImage::kImageSize) == 0;
}

void Finish(benchmark::State& state, const FirmwareImage& v, std::size_t bytesPerIteration) {
  if (!HoldsFullImage(v)) state.SkipWithError("the image read differs from the one written");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytesPerIteration));
}

// What loading a file's bytes costs: detection, the copy into the file area, and the reader.
void BM_LoadFromMemory(benchmark::State& state, Format f) {
  const std::string& text = FullText(f);
  auto v = std::make_unique<FirmwareImage>();
  const ImageFormat want = f == Format::IntelHex ? ImageFormat::IntelHex : ImageFormat::SRecord;
  for (auto _ : state) {
    const ImageFormat got = v->LoadFromMemory("bench", Bytes(text), text.size());
    if (got != want) state.SkipWithError("the text was not recognised");
    benchmark::ClobberMemory();
  }
  Finish(state, *v, text.size());
}

// The reader alone, on text already in the file area.
void BM_Read(benchmark::State& state, Format f) {
  const std::string& text = FullText(f);
  auto v = std::make_unique<FirmwareImage>();
  v->LoadFromMemory("bench", Bytes(text), text.size());
  for (auto _ : state) {
    if (f == Format::IntelHex)
      v->ReadIntelHex(0, v->CodeSize());
    else
      v->ReadSRecords(0, v->CodeSize());
    benchmark::ClobberMemory();
  }
  Finish(state, *v, text.size());
}

// A real file: open, read, close, detect, read the records.
void BM_LoadFromFile(benchmark::State& state, Format f) {
  const std::string& text = FullText(f);
  char path[] = "/tmp/vk_bench_image_XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    state.SkipWithError("cannot write the temporary file");
    return;
  }
  ::close(fd);
  auto v = std::make_unique<FirmwareImage>();
  for (auto _ : state) {
    benchmark::DoNotOptimize(v->LoadFromFile(path));
    benchmark::ClobberMemory();
  }
  ::unlink(path);
  Finish(state, *v, text.size());
}

// The writers' text for the full image (the file write itself is one write call).
void BM_WriteText(benchmark::State& state, Format f) {
  const FirmwareImage& v = RandomFullImage();
  std::size_t size = 0;
  for (auto _ : state) {
    std::string text = f == Format::IntelHex ? v.IntelHexText(0, FirmwareImage::kImageSize)
                                             : v.SRecordText(0, FirmwareImage::kImageSize);
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  if (size != FullText(f).size()) state.SkipWithError("the writer's text changed between calls");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
}

BENCHMARK_CAPTURE(BM_LoadFromMemory, IntelHex, Format::IntelHex);
BENCHMARK_CAPTURE(BM_Read, IntelHex, Format::IntelHex);
BENCHMARK_CAPTURE(BM_LoadFromFile, IntelHex, Format::IntelHex);
BENCHMARK_CAPTURE(BM_LoadFromMemory, SRecord, Format::SRecord);
BENCHMARK_CAPTURE(BM_Read, SRecord, Format::SRecord);
BENCHMARK_CAPTURE(BM_LoadFromFile, SRecord, Format::SRecord);
BENCHMARK_CAPTURE(BM_WriteText, IntelHex, Format::IntelHex);
BENCHMARK_CAPTURE(BM_WriteText, SRecord, Format::SRecord);

} // namespace

BENCHMARK_MAIN();
