// PAR 2.0 packets: the header every packet has, the critical packets (main,
// file description, input file slice checksums, creator) and the recovery
// slice packets, with their sizes known before any data is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "md5.h"

namespace par2 {

struct SetPlan;

void put64(std::string& s, std::uint64_t v);
void put32(std::string& s, std::uint32_t v);
void putHash(std::string& s, const Hash& h);

// What the first pass over a source file finds: its MD5, and the MD5 and
// CRC-32 of each of its blocks (zero-padded to the block size).
struct SourceChecksums {
    Hash full{};
    std::string slices;  // 20 bytes a block, as the IFSC packet holds them
};

// The critical packets, in the order every file of the set carries them.
std::string criticalPackets(const SetPlan& plan, const std::vector<SourceChecksums>& checksums);
std::uint64_t criticalPacketsSize(const SetPlan& plan);
inline std::uint64_t recoveryPacketSize(std::uint64_t blockSize) { return 64 + 4 + blockSize; }
// The first 68 bytes of recovery packet `exponent`, whose block is `data`.
std::string recoveryPacketHead(const Hash& setId, std::uint32_t exponent, const std::uint8_t* data,
                               std::uint64_t blockSize);
// The same for a block hashed a piece at a time: the hash started with the
// packet's fields before the block, then the head once the block is in.
Md5 recoveryPacketHasher(const Hash& setId, std::uint32_t exponent);
std::string recoveryPacketHead(const Hash& setId, std::uint32_t exponent, Md5& hasher, std::uint64_t blockSize);

inline constexpr const char* kCreatorText = "Tarvel Skivor 0.36";

}  // namespace par2
