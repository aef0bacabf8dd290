#include "packets.h"

#include "plan.h"

namespace par2 {

namespace {

constexpr char kMain[17] = "PAR 2.0\0Main\0\0\0\0";
constexpr char kFileDesc[17] = "PAR 2.0\0FileDesc";
constexpr char kIfsc[17] = "PAR 2.0\0IFSC\0\0\0\0";
constexpr char kRecovery[17] = "PAR 2.0\0RecvSlic";
constexpr char kCreator[17] = "PAR 2.0\0Creator\0";

std::uint64_t padded4(std::uint64_t n) { return (n + 3) / 4 * 4; }

// A packet: header (magic, length, MD5 of what follows it, set id, type),
// then the body, padded to a multiple of four.
std::string packet(const Hash& setId, const char (&type)[17], std::string body) {
    body.resize(static_cast<std::size_t>(padded4(body.size())), '\0');
    std::string tail;
    putHash(tail, setId);
    tail.append(type, 16);
    tail += body;
    std::string p("PAR2\0PKT", 8);
    put64(p, 64 + body.size());
    putHash(p, md5(tail));
    return p + tail;
}

}  // namespace

void put64(std::string& s, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) s += static_cast<char>(v >> (8 * i));
}
void put32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
}
void putHash(std::string& s, const Hash& h) { s.append(reinterpret_cast<const char*>(h.data()), 16); }

std::string criticalPackets(const SetPlan& plan, const std::vector<SourceChecksums>& checksums) {
    std::string mainBody;
    put64(mainBody, plan.blockSize);
    put32(mainBody, static_cast<std::uint32_t>(plan.sources.size()));
    for (const auto& s : plan.sources) putHash(mainBody, s.id);
    std::string out = packet(plan.setId, kMain, mainBody);
    for (std::size_t i = 0; i < plan.sources.size(); ++i) {
        const SourcePlan& s = plan.sources[i];
        std::string fd;
        putHash(fd, s.id);
        putHash(fd, checksums[i].full);
        putHash(fd, s.hash16k);
        put64(fd, s.size);
        fd += s.input.name;
        out += packet(plan.setId, kFileDesc, fd);
        std::string ifsc;
        putHash(ifsc, s.id);
        out += packet(plan.setId, kIfsc, ifsc + checksums[i].slices);
    }
    return out + packet(plan.setId, kCreator, kCreatorText);
}

std::uint64_t criticalPacketsSize(const SetPlan& plan) {
    std::uint64_t n = 64 + 12 + 16 * plan.sources.size() + 64 + padded4(std::string(kCreatorText).size());
    for (const auto& s : plan.sources) n += 64 + 56 + padded4(s.input.name.size()) + 64 + 16 + 20ull * s.blocks;
    return n;
}

namespace {
std::string recoveryPacketTail(const Hash& setId, std::uint32_t exponent) {
    std::string tail;
    putHash(tail, setId);
    tail.append(kRecovery, 16);
    put32(tail, exponent);
    return tail;
}
}  // namespace

Md5 recoveryPacketHasher(const Hash& setId, std::uint32_t exponent) {
    const std::string tail = recoveryPacketTail(setId, exponent);
    Md5 m;
    m.add(tail.data(), tail.size());
    return m;
}

std::string recoveryPacketHead(const Hash& setId, std::uint32_t exponent, Md5& hasher, std::uint64_t blockSize) {
    std::string p("PAR2\0PKT", 8);
    put64(p, recoveryPacketSize(blockSize));
    putHash(p, hasher.done());
    return p + recoveryPacketTail(setId, exponent);
}

std::string recoveryPacketHead(const Hash& setId, std::uint32_t exponent, const std::uint8_t* data,
                               std::uint64_t blockSize) {
    Md5 m = recoveryPacketHasher(setId, exponent);
    m.add(data, static_cast<std::size_t>(blockSize));
    return recoveryPacketHead(setId, exponent, m, blockSize);
}

}  // namespace par2
