#include "wav_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "firmware.h"  // absolute_path

namespace qvradio {
namespace {

constexpr uint32_t kHeaderBytes = 44;
// The RIFF size field counts the file less 8 bytes in 32 bits.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8);

void put16(unsigned char* p, uint32_t v) {
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
}
void put32(unsigned char* p, uint32_t v) {
    put16(p, v & 0xFFFF);
    put16(p + 2, v >> 16);
}

// Canonical 44-byte header of 16-bit PCM with `data_bytes` of samples.
void header(unsigned char* h, int channels, int rate_hz, uint32_t data_bytes) {
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, data_bytes + kHeaderBytes - 8);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 16);
    put16(h + 20, 1);  // PCM
    put16(h + 22, channels);
    put32(h + 24, rate_hz);
    put32(h + 28, rate_hz * channels * 2);
    put16(h + 32, channels * 2);
    put16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, data_bytes);
}

}  // namespace

WavWriter::~WavWriter() { finish(); }

int WavWriter::open(const std::string& path, int channels, int rate_hz, std::string* error) {
    finish();
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        const int e = errno;
        *error = "Cannot create " + absolute_path(path.c_str()) + ": " + std::strerror(e) + ".";
        return -e;
    }
    path_ = path;
    channels_ = channels;
    frames_ = 0;
    unsigned char h[kHeaderBytes];
    header(h, channels, rate_hz, 0);
    if (std::fwrite(h, 1, sizeof h, file_) != sizeof h) {
        const int e = errno;
        *error = "Cannot write " + absolute_path(path.c_str()) + ": " + std::strerror(e) + ".";
        discard();
        return -e;
    }
    // The rate goes into the header again at finish().
    fd_ = -1;
    rate_hz_ = rate_hz;
    return 0;
}

void WavWriter::open_raw(int fd, int channels) {
    finish();
    fd_ = fd;
    channels_ = channels;
    frames_ = 0;
}

int WavWriter::write(const int16_t* samples, int frames) {
    const size_t bytes = size_t(frames) * channels_ * 2;
    if (file_ != nullptr) {
        if ((frames_ + frames) * channels_ * 2 > kMaxDataBytes) return -EFBIG;
        if (std::fwrite(samples, 1, bytes, file_) != bytes) return errno ? -errno : -EIO;
    } else if (fd_ >= 0) {
        // The host is little-endian, as the samples must be.
        const char* p = reinterpret_cast<const char*>(samples);
        size_t left = bytes;
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n < 0 ? -errno : -EIO;
            p += n;
            left -= size_t(n);
        }
    } else {
        return -EBADF;
    }
    frames_ += frames;
    return 0;
}

int WavWriter::finish() {
    if (fd_ >= 0) {
        fd_ = -1;
        return 0;
    }
    if (file_ == nullptr) return 0;
    unsigned char h[kHeaderBytes];
    header(h, channels_, rate_hz_, static_cast<uint32_t>(frames_ * channels_ * 2));
    int rc = 0;
    if (std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(h, 1, sizeof h, file_) != sizeof h)
        rc = errno ? -errno : -EIO;
    if (std::fclose(file_) != 0 && rc == 0) rc = errno ? -errno : -EIO;
    file_ = nullptr;
    return rc;
}

void WavWriter::discard() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
        std::remove(path_.c_str());
    }
    fd_ = -1;
}

}  // namespace qvradio
