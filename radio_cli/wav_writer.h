// Recording of 16-bit PCM: a WAV file whose header is finished when the
// recording ends, or headerless samples on a file descriptor (a pipe).
// Main thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qvradio {

class WavWriter {
  public:
    WavWriter() = default;
    ~WavWriter();  // finishes an open file
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates (or truncates) the WAV file `path` for `channels` channels of
    // 16-bit samples at `rate_hz`, with a header that says "no data" until
    // finish(). Returns 0, or the negated errno with `*error` one sentence
    // naming the file by its absolute path.
    int open(const std::string& path, int channels, int rate_hz, std::string* error);
    // Headerless little-endian samples to the open descriptor `fd` (not
    // closed here).
    void open_raw(int fd, int channels);

    // Appends `frames` frames of interleaved samples. Returns 0; -EPIPE when
    // the reader of a pipe went away; -EFBIG when a WAV file would pass the
    // 4 GiB its header can count (nothing is written then); another negated
    // errno for a failed write.
    int write(const int16_t* samples, int frames);

    // Writes the sizes into the header and closes the file; 0 or the negated
    // errno. Nothing to do for raw output or when nothing is open.
    int finish();
    // Closes and removes a file that was created here (a run that failed
    // before recording anything).
    void discard();

    bool is_open() const { return file_ != nullptr || fd_ >= 0; }
    uint64_t frames() const { return frames_; }

  private:
    std::FILE* file_ = nullptr;
    std::string path_;
    int fd_ = -1;
    int channels_ = 0;
    int rate_hz_ = 0;
    uint64_t frames_ = 0;
};

}  // namespace qvradio
