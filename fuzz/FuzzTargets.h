// The bodies of the fuzz targets: each takes a stranger's bytes through one
// parser the way the program does, and aborts when bad input breaks a rule it
// must never break (writing outside its folder, a round trip that does not
// hold, an exception that escapes). A clean refusal of the input is fine.
//
// The libFuzzer programs of this folder run them (FuzzMain.cpp), and the
// regression test tests/fuzz replays the inputs kept there through the same
// bodies in the normal build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

// A subject of a peer mail: taken apart, accepted or not, its job tag split.
int PeerSubject(const std::uint8_t* data, std::size_t size);
// A text decrypted as a peer mail's subject or body is; bytes decrypt back.
int MessageCipherText(const std::uint8_t* data, std::size_t size);
// The bytes as a one-volume archive, listed and extracted into a fresh folder.
int ZipVolume(const std::uint8_t* data, std::size_t size);
// The bytes cut into up to four volumes (a count byte, then the sizes of all
// but the last as 32-bit little-endian numbers), listed and extracted.
int ZipVolumes(const std::uint8_t* data, std::size_t size);
// The bytes as a compound file: parsed, every stream read, written back and
// parsed again.
int CompoundFile(const std::uint8_t* data, std::size_t size);
// First byte even: the rest as a table packet; odd: the rest as a decrypted
// configuration file, loaded into both configuration tables.
int ConfigTable(const std::uint8_t* data, std::size_t size);
// The bytes as a raw received mail: subject, sender, body, and each
// attachment saved into a fresh folder.
int ReceivedMail(const std::uint8_t* data, std::size_t size);

struct Target {
  const char* Name;  // the folder of its kept inputs and its program fuzz_<Name>
  int (*Run)(const std::uint8_t* data, std::size_t size);
};
const std::vector<Target>& Targets();

}  // namespace fuzz
