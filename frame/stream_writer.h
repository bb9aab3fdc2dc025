#pragma once
// The PCM stream on standard output: a 24-byte little-endian header, then raw
// 32-bit float samples. The header always comes first: PCM handed over before
// the header has been written completely is dropped, never written ahead of it.

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Writes the whole range to `fd`, retrying on EINTR and partial writes.
// False on any other error or a write of 0 bytes. An empty range is true.
bool writeAllTo(int fd, const void* data, std::size_t length);

// writeAllTo standard output.
bool writeAll(const void* data, std::size_t length);

// Set once at start: 5 for the microphone program, 11 for system audio.
void setProducerCode(std::int32_t code);

// The six header words; true when all 24 bytes went out. On success the
// stream is open for PCM.
bool writeHeader(std::int32_t sampleRate, std::int32_t channelCount, std::int32_t bitsPerSample,
                 std::int32_t framesPerBuffer);

// The header layout itself (also used by tests and tools that decode streams).
void layoutHeader(unsigned char out[24], std::int32_t sampleRate, std::int32_t channelCount,
                  std::int32_t bitsPerSample, std::int32_t framesPerBuffer, std::int32_t producerCode);

// For the capture IO paths: writes a PCM chunk once the header is out; before
// that it drops the chunk and reports success. Lock-free; one PCM writer at a
// time.
bool writePcm(const void* data, std::size_t length);

// True once writeHeader has succeeded.
bool headerWritten();

// Ends the stream for a stop that must not wait on the parent: gives a write
// in progress up to `graceSeconds` to finish, then lets no new write start and
// interrupts one still blocked in the kernel (a parent that does not read),
// so the writing thread returns false at once. The stream may then end in the
// middle of a frame. Needs installWriteInterrupt() to have run.
void endStream(double graceSeconds);

// Installs the handler of the signal that endStream sends to a blocked
// writer: a no-op without SA_RESTART, so the write returns early.
void installWriteInterrupt();

// Tests only: point the stream at another descriptor and forget the header.
void resetStreamForTesting(int fd);

}  // namespace tarnwick
