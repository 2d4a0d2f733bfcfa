// Video writer layer: a sink writer that encodes raw video frames and PCM audio
// into a video file.
//
// The interface follows the calls the recorder makes of a Media Foundation sink
// writer, reduced to what it relies on, so that the Windows layer is a direct
// transcription and other layers reproduce the same observable behaviour:
// - the writer is made on an output path; the container follows the file name's
//   extension. What can refuse a recording before its first sample (the folder,
//   a path that cannot be written, the container, the encoders' sizes and rates)
//   is checked before the file is touched, so that a writer refused before it
//   writes leaves an existing file of that name as it was and creates none. The
//   file is created (an existing one replaced) at BeginWriting with FFmpeg, and
//   with Media Foundation, whose writer creates it when it is made, at the first
//   AddStream, once that stream's type has been checked;
// - each stream is added with its output (encoded) media type and then given its
//   input media type; a size, rate or format the encoder refuses raises there (or,
//   at the latest, at BeginWriting) with a reason that names it;
// - video input is RGB32: four bytes a pixel in the order blue, green, red, unused,
//   rows `DefaultStride` bytes apart (positive: the first row is the top);
// - audio input is interleaved 16-bit PCM in samples of any length;
// - sample times and durations count 100-nanosecond units; the encoders' own
//   framing (colour conversion, audio frame sizes, threads) stays inside the layer;
// - a stream with a gap (audio that has run out while video goes on) gets stream
//   ticks at the times where its samples would be, at least once a second, so that
//   the writer does not wait for it to interleave the other streams;
// - Finalize completes the file; nothing may be written after it. A writer that
//   finalises without any sample written leaves a file that holds no frames, or,
//   where the platform cannot complete a file without samples, no file at all:
//   FFmpeg writes a valid container without streams; the Media Foundation sink
//   writer refuses (MF_E_SINK_NO_SAMPLES_PROCESSED), and its file is removed.
// Objects are shared handles. Failing calls raise ComException with a result code
// and a readable reason. Attribute setters report nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velk::video {

// Attribute keys of media types and of the writer's attribute store.
enum class Attribute : uint32_t {
    MajorType,                  // GUID
    Subtype,                    // GUID
    AvgBitrate,                 // UINT32, bits per second
    InterlaceMode,              // UINT32, 2: progressive
    FrameSize,                  // UINT64, width << 32 | height
    FrameRate,                  // UINT64, numerator << 32 | denominator
    PixelAspectRatio,           // UINT64, numerator << 32 | denominator
    DefaultStride,              // UINT32 holding a signed stride in bytes
    AudioBitsPerSample,         // UINT32
    AudioSamplesPerSecond,      // UINT32
    AudioNumChannels,           // UINT32
    AudioAvgBytesPerSecond,     // UINT32
    AudioBlockAlignment,        // UINT32
    EnableHardwareTransforms,   // UINT32 on the writer's attribute store: 1 allows hardware encoders
};

// GUID values of MajorType and Subtype.
enum class Guid : uint32_t {
    MediaTypeVideo,
    MediaTypeAudio,
    VideoFormatH264,
    VideoFormatRGB32,
    AudioFormatAAC,
    AudioFormatPCM,
};

constexpr uint32_t InterlaceProgressive = 2;

// Two 32-bit halves in one 64-bit attribute value (frame size, rate, aspect ratio).
constexpr uint64_t PackPair(uint32_t high, uint32_t low) { return (static_cast<uint64_t>(high) << 32) | low; }

class Attributes {
public:
    virtual ~Attributes() = default;
    virtual void SetGUID(Attribute key, Guid value) = 0;
    virtual void SetUINT32(Attribute key, uint32_t value) = 0;
    virtual void SetUINT64(Attribute key, uint64_t value) = 0;
};

class MediaType : public Attributes {};

// A block of system memory with a valid length.
class MediaBuffer {
public:
    virtual ~MediaBuffer() = default;
    // The buffer's memory (MaxLength bytes), until Unlock.
    virtual uint8_t* Lock() = 0;
    virtual void Unlock() = 0;
    // The length of valid data, at most the maximum length.
    virtual void SetCurrentLength(uint32_t length) = 0;
};

// One timed unit of media: its buffers' valid bytes in order.
class Sample {
public:
    virtual ~Sample() = default;
    virtual void AddBuffer(const std::shared_ptr<MediaBuffer>& buffer) = 0;
    virtual void SetSampleTime(int64_t time) = 0;          // 100 ns units
    virtual void SetSampleDuration(int64_t duration) = 0;  // 100 ns units
};

class SinkWriter {
public:
    virtual ~SinkWriter() = default;
    // A new stream encoded as the output type describes; returns its index.
    virtual uint32_t AddStream(const MediaType& outputType) = 0;
    // What the caller will write to the stream; the writer converts and encodes from it.
    virtual void SetInputMediaType(uint32_t stream, const MediaType& inputType) = 0;
    virtual void BeginWriting() = 0;
    // The writer keeps what it needs of the sample; the caller may drop it at once.
    virtual void WriteSample(uint32_t stream, Sample& sample) = 0;
    // No sample of the stream at `time` (100 ns units): a gap in its data.
    virtual void SendStreamTick(uint32_t stream, int64_t time) = 0;
    // Drains the encoders and completes the file.
    virtual void Finalize() = 0;
};

// Paired calls around the writer's lifetime (the platform's media start-up).
void Startup();
void Shutdown();

// Startup when made, the matching Shutdown when it goes, so that a writer's
// owner that raises halfway leaves the platform as it found it.
class Started {
public:
    Started() { Startup(); }
    ~Started() { Shutdown(); }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;
};

std::shared_ptr<Attributes> CreateAttributes(uint32_t initialSize);
std::shared_ptr<MediaType> CreateMediaType();
std::shared_ptr<MediaBuffer> CreateMemoryBuffer(uint32_t maxLength);
std::shared_ptr<Sample> CreateSample();
// A writer on the file at `path` (checked now, created later: see above), with
// optional writer attributes.
std::shared_ptr<SinkWriter> CreateSinkWriterFromURL(const std::string& path, const Attributes* attributes);

}  // namespace velk::video
