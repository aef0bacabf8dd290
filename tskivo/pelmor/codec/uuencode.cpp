// uuencode: 45 bytes a line, "`" for zero, LF line ends.
#include <array>
#include <cstring>

#include "encoder.h"

namespace pelmor {

namespace {

inline constexpr char uuChar(unsigned v) { return v == 0 ? '`' : static_cast<char>(v + 32); }

// The two characters of every 12 bits, in memory order: three bytes are two
// lookups and one four-byte store.
constexpr std::array<std::uint16_t, 4096> makePairs() {
    std::array<std::uint16_t, 4096> t{};
    for (unsigned v = 0; v < 4096; ++v)
        t[v] = static_cast<std::uint16_t>(static_cast<unsigned char>(uuChar(v >> 6)) |
                                          static_cast<unsigned char>(uuChar(v & 63)) << 8);
    return t;
}
constexpr auto kPairs = makePairs();

}  // namespace

UuEncoder::UuEncoder(const std::string& path, int lines) : Encoder(path, lines) {
    const std::uint64_t perPart = static_cast<std::uint64_t>(lines_) * kBytesPerLine;
    parts_ = static_cast<int>(size_ / perPart + (size_ % perPart ? 1 : 0));
    input_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(perPart, size_)) + 3);
}

std::size_t UuEncoder::encodedSizeBound() const {
    // The begin line holds the name, which can be longer than one data line.
    return (static_cast<std::size_t>(lines_) + 1) * 62 + name_.size() + 16;
}

bool UuEncoder::encodePart(int n, char* buffer, std::size_t bufferSize, int /*total*/) {
    if (bufferSize < encodedSizeBound() || n < 1 || n > parts_) return false;
    const std::uint64_t perPart = static_cast<std::uint64_t>(lines_) * kBytesPerLine;
    const std::uint64_t first = static_cast<std::uint64_t>(n - 1) * perPart;
    std::uint64_t last = first + perPart - 1;
    bool final = false;
    if (last >= size_ - 1) {
        last = size_ - 1;
        final = true;
    }
    char* out = buffer;
    if (n == 1) {
        std::memcpy(out, "begin 644 ", 10);
        out += 10;
        std::memcpy(out, name_.data(), name_.size());
        out += name_.size();
        *out++ = '\n';
    }
    const std::size_t want = static_cast<std::size_t>(last - first + 1);
    const long long got = readAt(first, input_.data(), want);
    if (got < 0) return false;
    // Bytes the file no longer has read as zeros, like a cleared block.
    std::memset(input_.data() + got, 0, input_.size() - static_cast<std::size_t>(got));

    const unsigned char* in = input_.data();
    for (std::size_t done = 0; done < want;) {
        const std::size_t m = std::min<std::size_t>(want - done, kBytesPerLine);
        *out++ = uuChar(static_cast<unsigned>(m));
        // Bytes past m in the last group count as zero: only the last line
        // is short, and past the part the buffer is cleared.
        for (std::size_t g = 0; g < m; g += 3) {
            const unsigned w = static_cast<unsigned>(in[done + g]) << 16 | static_cast<unsigned>(in[done + g + 1]) << 8 |
                               in[done + g + 2];
            const std::uint32_t four = kPairs[w >> 12] | static_cast<std::uint32_t>(kPairs[w & 0xFFF]) << 16;
            std::memcpy(out, &four, 4);
            out += 4;
        }
        *out++ = '\n';
        done += m;
    }
    if (final) {
        std::memcpy(out, "`\nend\n", 6);
        out += 6;
    }
    *out = '\0';
    encodedLength_ = static_cast<std::size_t>(out - buffer);
    return true;
}

}  // namespace pelmor
