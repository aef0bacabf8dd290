// Encoders cut one file into numbered article bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmor {

class Encoder {
public:
    Encoder(const std::string& path, int lines);
    virtual ~Encoder() = default;
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Bytes one encoded part may need, terminating NUL included.
    virtual std::size_t encodedSizeBound() const = 0;
    // Writes part n (from 1) into buffer as NUL-terminated text; false when
    // the part cannot be produced.
    virtual bool encodePart(int n, char* buffer, std::size_t bufferSize, int total) = 0;

    int parts() const { return parts_; }
    std::uint64_t size() const { return size_; }
    // Bytes of the file in part n (from 1).
    std::uint64_t partBegin(int n) const { return static_cast<std::uint64_t>(n - 1) * bytesPerPart(); }
    std::uint64_t partEnd(int n) const;
    virtual std::uint64_t bytesPerPart() const = 0;
    const std::string& name() const { return name_; }
    // The name the article bodies give (yEnc name=, uuencode begin), when
    // not the file's own.
    void setName(const std::string& name);
    const std::string& path() const { return path_; }
    // Length of the text written by the last successful encodePart.
    std::size_t encodedLength() const { return encodedLength_; }

protected:
    // Reads `length` bytes at `offset` into `into`; returns the count, or -1
    // when the file cannot be opened or is no longer the file it was when
    // the encoder was made (size, modification time; then changed()).
    long long readAt(std::uint64_t offset, unsigned char* into, std::size_t length);

public:
    // The file was written to since the encoder was made.
    bool changed() const { return changed_; }

protected:

    std::string path_;
    std::string name_;  // path after its last '/' or '\', safe to put in an article
    int lines_;
    std::uint64_t size_;
    int parts_ = 0;
    std::size_t encodedLength_ = 0;
    timespec modified_{};
    bool changed_ = false;
};

// Encoding code 0 text, 1 uuencode, 2 yEnc; null for any other code.
// `fileCrc`: the file's CRC-32 when another reader of it has it already
// (the recovery set's first pass); a yEnc encoder then reads the file only
// for its parts.
std::unique_ptr<Encoder> makeEncoder(int code, int lines, const std::string& path,
                                     std::optional<std::uint32_t> fileCrc = std::nullopt);
// The parts a file of `size` bytes makes, without reading it; 0 for an
// unknown code.
int partCountFor(int code, int lines, std::uint64_t size);

// A name as it may stand in an article: CR, LF and NUL would break the
// header or body lines, so each becomes "_".
std::string wireSafeName(std::string_view name);

class YencEncoder final : public Encoder {
public:
    static constexpr int kLineLength = 128;
    YencEncoder(const std::string& path, int lines, std::optional<std::uint32_t> fileCrc = std::nullopt);
    std::size_t encodedSizeBound() const override;
    bool encodePart(int n, char* buffer, std::size_t bufferSize, int total) override;
    std::uint64_t bytesPerPart() const override { return static_cast<std::uint64_t>(lines_) * kLineLength; }
    // The whole file's CRC-32: known from the start for a file of several
    // parts (their trailers carry it), and once its part is encoded for a
    // file of one.
    std::uint32_t fileCrc() const { return fileCrc_; }

private:
    // Reads the file in `chunk`-byte pieces into input_.
    std::uint32_t wholeFileCrc(std::size_t chunk);
    std::uint32_t partCrc_ = 0;
    std::uint32_t fileCrc_ = 0;
    // One part of the file, sized to the file once and never cleared: every
    // byte used is read into it first.
    std::unique_ptr<unsigned char[]> input_;
};

class UuEncoder final : public Encoder {
public:
    static constexpr int kBytesPerLine = 45;
    UuEncoder(const std::string& path, int lines);
    std::size_t encodedSizeBound() const override;
    bool encodePart(int n, char* buffer, std::size_t bufferSize, int total) override;
    std::uint64_t bytesPerPart() const override { return static_cast<std::uint64_t>(lines_) * kBytesPerLine; }

private:
    std::vector<unsigned char> input_;
};

class TextEncoder final : public Encoder {
public:
    TextEncoder(const std::string& path, int lines);
    std::size_t encodedSizeBound() const override;
    bool encodePart(int n, char* buffer, std::size_t bufferSize, int total) override;
    std::uint64_t bytesPerPart() const override { return size_ ? size_ : 1; }
};

// The yEnc data lines of `length` bytes, by one of the line kernels, which
// all write the same text and return its end. The fastest the CPU has is
// chosen once at start (TSKIVO_YENC_KERNEL=scalar|sse2|ssse3|avx2|avx512
// forces one).
enum class YencKernel { Scalar, Sse2, Ssse3, Avx2, Avx512 };
YencKernel yencKernel();
bool yencKernelSupported(YencKernel k);
void setYencKernel(YencKernel k);  // for tests and benchmarks
const char* yencKernelName(YencKernel k);
char* yencEncodeLinesWith(YencKernel k, const unsigned char* in, std::size_t length, char* out);
// The same, with the CRC-32 of the bytes continued from *crc: in the same
// pass where the kernel can, else by a pass of its own first.
char* yencEncodeLinesCrcWith(YencKernel k, const unsigned char* in, std::size_t length, char* out,
                             std::uint32_t* crc);

}  // namespace pelmor
