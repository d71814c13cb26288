// Deflates blocks of files on worker threads. The blocks of one file are
// compressed independently, each primed with the 32 KiB that precede it, and
// end on a byte boundary (sync flush) except the last; joined in order they
// form one raw deflate stream, so the archive stays an ordinary one.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct DataBlock {
  std::size_t Entry = 0;  // index of the entry the block belongs to
  bool First = false;     // first block of its entry
  bool Last = false;      // last block of its entry
  bool Deflate = false;   // deflate (else stored as it is)
  bool ReadFailed = false;
  std::vector<unsigned char> Input;
  std::vector<unsigned char> Dictionary;  // up to 32 KiB before Input, same file
  std::vector<unsigned char> Output;      // deflated data
  std::uint32_t Crc = 0;                  // CRC-32 of Input
  bool Failed = false;                    // zlib refused (out of memory)
  bool Done = false;                      // guarded by the compressor

  const std::vector<unsigned char>& Data() const { return Deflate ? Output : Input; }
};

class BlockCompressor {
public:
  static constexpr std::size_t kBlockSize = 512 * 1024;
  static constexpr std::size_t kWindow = 32 * 1024;

  BlockCompressor(int level, int threads);
  ~BlockCompressor();
  BlockCompressor(const BlockCompressor&) = delete;
  BlockCompressor& operator=(const BlockCompressor&) = delete;

  void Submit(std::shared_ptr<DataBlock> block);
  // Waits until the block has been processed.
  void Wait(const DataBlock& block);
  int Threads() const { return static_cast<int>(FWorkers.size()); }

private:
  struct Worker;
  void Run();
  int FLevel;
  std::mutex FMutex;
  std::condition_variable FWork, FDone;
  std::deque<std::shared_ptr<DataBlock>> FQueue;
  bool FStop = false;
  std::vector<std::thread> FWorkers;
};
