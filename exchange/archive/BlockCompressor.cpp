#include "exchange/archive/BlockCompressor.h"

#include <zlib.h>

namespace {

// One deflate stream per worker, reset for every block.
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

  bool Compress(DataBlock& block) {
    if (!FOk || deflateReset(&FStream) != Z_OK) return false;
    if (!block.Dictionary.empty() &&
        deflateSetDictionary(&FStream, block.Dictionary.data(), static_cast<uInt>(block.Dictionary.size())) != Z_OK)
      return false;
    block.Output.resize(deflateBound(&FStream, static_cast<uLong>(block.Input.size())) + 64);
    FStream.next_in = block.Input.data();
    FStream.avail_in = static_cast<uInt>(block.Input.size());
    std::size_t used = 0;
    const int flush = block.Last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      FStream.next_out = block.Output.data() + used;
      FStream.avail_out = static_cast<uInt>(block.Output.size() - used);
      const int rc = deflate(&FStream, flush);
      used = block.Output.size() - FStream.avail_out;
      if (rc == Z_STREAM_ERROR) return false;
      const bool finished = block.Last ? rc == Z_STREAM_END : (FStream.avail_in == 0 && FStream.avail_out > 0);
      if (finished) break;
      if (FStream.avail_out == 0) block.Output.resize(block.Output.size() * 2);
    }
    block.Output.resize(used);
    return true;
  }

private:
  z_stream FStream{};
  bool FOk = false;
};

}  // namespace

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
  Deflater deflater(FLevel);
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
    if (block->Deflate && !block->ReadFailed) block->Failed = !deflater.Compress(*block);
    {
      std::lock_guard<std::mutex> lock(FMutex);
      block->Done = true;
    }
    FDone.notify_all();
  }
}
