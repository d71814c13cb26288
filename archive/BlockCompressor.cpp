#include "archive/BlockCompressor.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>

namespace {

// One deflate stream, reset for every block.
class Deflater {
public:
  explicit Deflater(int level) {
    FOk = deflateInit2(&FStream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Deflater() {
    if (FOk) deflateEnd(&FStream);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Deflates data into out; the stream ends (finish) or stops at a byte boundary.
  bool Compress(const unsigned char* data, std::size_t size, const std::vector<unsigned char>& dictionary,
                bool finish, std::vector<unsigned char>& out) {
    if (!FOk || deflateReset(&FStream) != Z_OK) return false;
    if (!dictionary.empty() &&
        deflateSetDictionary(&FStream, dictionary.data(), static_cast<uInt>(dictionary.size())) != Z_OK)
      return false;
    out.resize(deflateBound(&FStream, static_cast<uLong>(size)) + 64);
    FStream.next_in = const_cast<unsigned char*>(data);
    FStream.avail_in = static_cast<uInt>(size);
    std::size_t used = 0;
    const int flush = finish ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      FStream.next_out = out.data() + used;
      FStream.avail_out = static_cast<uInt>(out.size() - used);
      const int rc = deflate(&FStream, flush);
      used = out.size() - FStream.avail_out;
      if (rc == Z_STREAM_ERROR) return false;
      const bool done = finish ? rc == Z_STREAM_END : (FStream.avail_in == 0 && FStream.avail_out > 0);
      if (done) break;
      if (FStream.avail_out == 0) out.resize(out.size() * 2);
    }
    out.resize(used);
    return true;
  }

private:
  z_stream FStream{};
  bool FOk = false;
};

// Bytes spread so evenly that Huffman codes cannot shrink them (compressed
// or random data), judged by the byte entropy corrected for the block size.
bool EvenBytes(const std::vector<unsigned char>& data) {
  if (data.size() < 4096) return false;
  std::size_t counts[256] = {};
  for (unsigned char c : data) ++counts[c];
  const double n = static_cast<double>(data.size());
  double bits = 0;
  for (std::size_t c : counts)
    if (c) bits -= static_cast<double>(c) / n * std::log2(static_cast<double>(c) / n);
  return bits + 255.0 / (2.0 * n * std::log(2.0)) > 7.97;
}

}  // namespace

// Each worker deflates at the level, and writes stored deflate blocks for data
// that a fast trial on a sample cannot shrink, as deflate itself would end up
// doing, without the level's search for matches.
struct BlockCompressor::Worker {
  explicit Worker(int level) : Main(level), Stored(0), Trial(1) {}
  bool Compress(DataBlock& block) {
    if (EvenBytes(block.Input)) {
      const std::size_t sample = std::min<std::size_t>(block.Input.size(), 64 * 1024);
      if (!Trial.Compress(block.Input.data(), sample, {}, true, Scratch)) return false;
      if (Scratch.size() * 100 >= sample * 98)
        return Stored.Compress(block.Input.data(), block.Input.size(), {}, block.Last, block.Output);
    }
    return Main.Compress(block.Input.data(), block.Input.size(), block.Dictionary, block.Last, block.Output);
  }
  Deflater Main, Stored, Trial;
  std::vector<unsigned char> Scratch;
};

BlockCompressor::BlockCompressor(int level, int threads) : FLevel(level) {
  for (int i = 0; i < std::max(threads, 1); ++i) FWorkers.emplace_back([this] { Run(); });
}

BlockCompressor::~BlockCompressor() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStop = true;
    FQueue.clear();
  }
  FWork.notify_all();
  for (std::thread& worker : FWorkers) worker.join();
}

void BlockCompressor::Submit(std::shared_ptr<DataBlock> block) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FQueue.push_back(std::move(block));
  }
  FWork.notify_one();
}

void BlockCompressor::Wait(const DataBlock& block) {
  std::unique_lock<std::mutex> lock(FMutex);
  FDone.wait(lock, [&] { return block.Done; });
}

void BlockCompressor::Run() {
  Worker worker(FLevel);
  for (;;) {
    std::shared_ptr<DataBlock> block;
    {
      std::unique_lock<std::mutex> lock(FMutex);
      FWork.wait(lock, [&] { return FStop || !FQueue.empty(); });
      if (FStop) return;
      block = std::move(FQueue.front());
      FQueue.pop_front();
    }
    block->Crc = static_cast<std::uint32_t>(
        crc32_z(0, block->Input.data(), block->Input.size()));
    if (block->Deflate && !block->ReadFailed) block->Failed = !worker.Compress(*block);
    {
      std::lock_guard<std::mutex> lock(FMutex);
      block->Done = true;
    }
    FDone.notify_all();
  }
}
