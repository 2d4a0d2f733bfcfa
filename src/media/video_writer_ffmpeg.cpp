// Video writer layer on FFmpeg.
//
// Maps the sink writer onto libavformat (the container, guessed from the file
// name's extension), libx264 (H.264 from the RGB32 frames, converted to 4:2:0 by
// libswscale with BT.709 coefficients in limited range, and tagged so) and
// FFmpeg's native AAC encoder (fed from the 16-bit PCM in its own 1024-sample
// frames, the last one short). The conversion and the encoders each run on threads
// for half the cores, leaving the rest to the drawing (see EncoderThreads).
//
// Nothing touches the output file before BeginWriting: the writer is made after
// checking that the file can be created or written (without creating, opening
// for truncation or changing it), the streams and encoders are set up in
// memory, and BeginWriting first writes the container's header into memory, so
// that a container that refuses the streams refuses them there; only then is
// the file created (an existing one replaced) and the header written to it. A
// recording that cannot start so leaves an existing file of that name as it was
// and creates none.
//
// WriteSample checks the sample and queues it; one worker thread converts,
// encodes and muxes the queued samples in order, so that the caller draws the
// next frame while the last one is encoded. At most a few samples wait (the
// caller blocks beyond that). A failure on the worker is raised by the next
// WriteSample or by Finalize.
//
// What it does differently from the platform writer it stands in for:
// - hardware encoders are not used (EnableHardwareTransforms is accepted and
//   has no effect);
// - video input must have the output's frame size and rate (no scaling or rate
//   conversion), audio input the output's rate and channel count (no resampling);
// - audio is taken as one contiguous stream that starts at the time of its first
//   sample; later sample times are not used to insert or drop sound;
// - FFmpeg's own log stays quiet; its last error line becomes part of the reason
//   of the error raised for the failing call.
#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "host/errors.h"
#include "media/video_writer.h"

namespace velk::video {

namespace {

// Result codes as the platform writer reports them.
constexpr int32_t MF_E_INVALIDREQUEST = static_cast<int32_t>(0xC00D36B2u);
constexpr int32_t MF_E_INVALIDSTREAMNUMBER = static_cast<int32_t>(0xC00D36B3u);
constexpr int32_t MF_E_INVALIDMEDIATYPE = static_cast<int32_t>(0xC00D36B4u);
constexpr int32_t MF_E_UNSUPPORTED_BYTESTREAM_TYPE = static_cast<int32_t>(0xC00D36C4u);
constexpr int32_t E_ACCESSDENIED_ = static_cast<int32_t>(0x80070005u);
constexpr int32_t E_PATHNOTFOUND_ = static_cast<int32_t>(0x80070003u);

constexpr int64_t Ticks = 10000000;  // 100 ns units a second
constexpr int64_t kMinVideoBitRate = 1000;  // bit/s: libx264's smallest, 1 kbit/s

// FFmpeg's log: kept quiet; the last error line is remembered for the next raise.
std::mutex logMutex;
std::string lastLogError;

void QuietLog(void*, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) return;
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    std::lock_guard<std::mutex> lock(logMutex);
    lastLogError = text;
}

void InstallQuietLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(QuietLog); });
}

void ClearLastLogError() {
    std::lock_guard<std::mutex> lock(logMutex);
    lastLogError.clear();
}

[[noreturn]] void Raise(int32_t code, const std::string& what, const std::string& reason) {
    ThrowIfFailed(code < 0 ? code : hr::E_FAIL_, what, reason);
    throw ComException(what + " failed", hr::E_FAIL_);  // not reached
}

// Raises for a negative FFmpeg result, with FFmpeg's reason and its last log line.
void CheckAv(int result, const std::string& what, const std::string& doing) {
    if (result >= 0) return;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    std::string reason = doing + ": " + text;
    {
        std::lock_guard<std::mutex> lock(logMutex);
        if (!lastLogError.empty()) reason += " (" + lastLogError + ")";
    }
    int32_t code = hr::E_FAIL_;
    if (result == AVERROR(ENOENT) || result == AVERROR(ENOTDIR)) code = E_PATHNOTFOUND_;
    if (result == AVERROR(EACCES) || result == AVERROR(EPERM) || result == AVERROR(EROFS)) code = E_ACCESSDENIED_;
    if (result == AVERROR(ENOMEM)) code = hr::E_OUTOFMEMORY_;
    Raise(code, what, reason);
}

std::string Text(int64_t v) { return std::to_string(v); }

// ---------------------------------------------------------------------------
// Attribute stores.

class Store final : public MediaType {
public:
    using Value = std::variant<Guid, uint32_t, uint64_t>;
    void SetGUID(Attribute key, Guid value) override { values_[key] = value; }
    void SetUINT32(Attribute key, uint32_t value) override { values_[key] = value; }
    void SetUINT64(Attribute key, uint64_t value) override { values_[key] = value; }

    template <class T>
    std::optional<T> Get(Attribute key) const {
        auto it = values_.find(key);
        if (it == values_.end() || !std::holds_alternative<T>(it->second)) return std::nullopt;
        return std::get<T>(it->second);
    }

private:
    std::map<Attribute, Value> values_;
};

const Store& AsStore(const Attributes& attributes, const char* what) {
    const Store* store = dynamic_cast<const Store*>(&attributes);
    if (!store) Raise(hr::E_INVALIDARG_, what, "not a media type of this writer");
    return *store;
}

// ---------------------------------------------------------------------------
// Buffers and samples.

class MemoryBuffer final : public MediaBuffer {
public:
    explicit MemoryBuffer(uint32_t maxLength) : data_(new uint8_t[maxLength > 0 ? maxLength : 1]), max_(maxLength) {}
    uint8_t* Lock() override {
        ++locks_;
        return data_.get();
    }
    void Unlock() override {
        if (locks_ == 0) Raise(MF_E_INVALIDREQUEST, "Unlock", "the buffer is not locked");
        --locks_;
    }
    void SetCurrentLength(uint32_t length) override {
        if (length > max_)
            Raise(hr::E_INVALIDARG_, "SetCurrentLength",
                  "length " + Text(length) + " beyond the buffer's " + Text(max_) + " bytes");
        length_ = length;
    }
    const uint8_t* Data() const { return data_.get(); }
    uint32_t Length() const { return length_; }

private:
    std::unique_ptr<uint8_t[]> data_;  // left uninitialised: the caller fills it
    uint32_t max_;
    uint32_t length_ = 0;
    int locks_ = 0;
};

class SampleImpl final : public Sample {
public:
    void AddBuffer(const std::shared_ptr<MediaBuffer>& buffer) override {
        auto memory = std::dynamic_pointer_cast<MemoryBuffer>(buffer);
        if (!memory) Raise(hr::E_INVALIDARG_, "AddBuffer", "not a buffer of this writer");
        buffers_.push_back(std::move(memory));
    }
    void SetSampleTime(int64_t time) override { time_ = time; }
    void SetSampleDuration(int64_t duration) override { duration_ = duration; }

    std::optional<int64_t> Time() const { return time_; }
    const std::vector<std::shared_ptr<MemoryBuffer>>& Buffers() const { return buffers_; }

private:
    std::vector<std::shared_ptr<MemoryBuffer>> buffers_;
    std::optional<int64_t> time_;
    std::optional<int64_t> duration_;
};

// ---------------------------------------------------------------------------
// Owning handles: each FFmpeg object is freed by its handle, so that a call that
// raises halfway (in the constructor too) leaves nothing behind.

struct FormatFree {
    void operator()(AVFormatContext* f) const {
        if (!(f->oformat->flags & AVFMT_NOFILE)) avio_closep(&f->pb);  // no-op once closed
        avformat_free_context(f);
    }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct EncoderFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScalerFree {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
using FormatHandle = std::unique_ptr<AVFormatContext, FormatFree>;
using PacketHandle = std::unique_ptr<AVPacket, PacketFree>;
using EncoderHandle = std::unique_ptr<AVCodecContext, EncoderFree>;
using FrameHandle = std::unique_ptr<AVFrame, FrameFree>;
using ScalerHandle = std::unique_ptr<SwsContext, ScalerFree>;

// ---------------------------------------------------------------------------
// The writer.

struct StreamState {
    bool Video = false;
    AVStream* Stream = nullptr;
    const AVCodec* Codec = nullptr;
    EncoderHandle Encoder;
    FrameHandle Frame;
    bool InputSet = false;
    // Output type.
    int Width = 0, Height = 0;
    AVRational Rate{0, 1};
    AVRational Aspect{1, 1};
    int64_t BitRate = 0;
    int SampleRate = 0, Channels = 0;
    // Video input.
    ScalerHandle Scaler;
    FrameHandle Source;
    int Stride = 0;
    int64_t LastPts = INT64_MIN;
    // Audio input: planar float samples not yet encoded, and the pts of the first.
    std::vector<std::vector<float>> Pending;
    int64_t NextPts = 0;
    bool Started = false;
};

// Threads for the colour conversion and for each encoder. The frames come from a
// GPU that, in software, draws on every core at the same time: threads for all the
// cores here too would oversubscribe the machine and make both slower (x264 with
// its own choice, one and a half per core, spends about twice the CPU time of one
// thread per frame), while a single thread falls behind a fast draw at 1920x1080.
int EncoderThreads() {
    unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores / 2, 1u, 8u));
}

class FfmpegSinkWriter final : public SinkWriter {
public:
    explicit FfmpegSinkWriter(const std::string& path) : path_(path) {
        const char* what = "CreateSinkWriterFromURL";
        InstallQuietLog();
        ClearLastLogError();
        if (path.empty()) Raise(hr::E_INVALIDARG_, what, "empty output path");
        AVFormatContext* format = nullptr;
        avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str());
        format_.reset(format);
        if (!format_)
            Raise(MF_E_UNSUPPORTED_BYTESTREAM_TYPE, what,
                  "no container format for the file name's extension: " + path);
        packet_.reset(av_packet_alloc());
        if (!packet_) Raise(hr::E_OUTOFMEMORY_, what, "no memory for a packet");
        if (!(format_->oformat->flags & AVFMT_NOFILE)) CheckCanCreate(path, what);
    }

    // The handles free the FFmpeg objects (streams, packet, then the file) after the
    // worker has stopped.
    ~FfmpegSinkWriter() override { StopWorker(true); }

    uint32_t AddStream(const MediaType& outputType) override {
        const char* what = "AddStream";
        ClearLastLogError();
        if (state_ != State::Created) Raise(MF_E_INVALIDREQUEST, what, "streams are added before writing begins");
        const Store& type = AsStore(outputType, what);
        StreamState s;
        auto major = type.Get<Guid>(Attribute::MajorType);
        auto subtype = type.Get<Guid>(Attribute::Subtype);
        if (major == Guid::MediaTypeVideo) {
            if (subtype != Guid::VideoFormatH264)
                Raise(MF_E_INVALIDMEDIATYPE, what, "video output must be H.264");
            s.Video = true;
            auto size = type.Get<uint64_t>(Attribute::FrameSize);
            auto rate = type.Get<uint64_t>(Attribute::FrameRate);
            if (!size) Raise(MF_E_INVALIDMEDIATYPE, what, "H.264 output has no frame size");
            if (!rate) Raise(MF_E_INVALIDMEDIATYPE, what, "H.264 output has no frame rate");
            s.Width = static_cast<int32_t>(*size >> 32);
            s.Height = static_cast<int32_t>(*size & 0xFFFFFFFFu);
            int32_t num = static_cast<int32_t>(*rate >> 32), den = static_cast<int32_t>(*rate & 0xFFFFFFFFu);
            if (s.Width <= 0 || s.Height <= 0)
                Raise(MF_E_INVALIDMEDIATYPE, what,
                      "H.264 needs a positive width and height: " + Text(s.Width) + "x" + Text(s.Height));
            if (s.Width % 2 != 0 || s.Height % 2 != 0)
                Raise(MF_E_INVALIDMEDIATYPE, what,
                      "H.264 needs an even width and height: " + Text(s.Width) + "x" + Text(s.Height));
            if (num <= 0 || den <= 0)
                Raise(MF_E_INVALIDMEDIATYPE, what,
                      "H.264 needs a positive frame rate: " + Text(num) + (den == 1 ? "" : "/" + Text(den)));
            s.Rate = AVRational{num, den};
            if (auto interlace = type.Get<uint32_t>(Attribute::InterlaceMode);
                interlace && *interlace != InterlaceProgressive)
                Raise(MF_E_INVALIDMEDIATYPE, what, "only progressive video is written");
            if (auto par = type.Get<uint64_t>(Attribute::PixelAspectRatio)) {
                int32_t pn = static_cast<int32_t>(*par >> 32), pd = static_cast<int32_t>(*par & 0xFFFFFFFFu);
                if (pn > 0 && pd > 0) s.Aspect = AVRational{pn, pd};
            }
            if (auto bitRate = type.Get<uint32_t>(Attribute::AvgBitrate)) s.BitRate = *bitRate;
            s.Codec = avcodec_find_encoder_by_name("libx264");
            if (!s.Codec) Raise(MF_E_INVALIDMEDIATYPE, what, "no H.264 encoder (libx264) in this FFmpeg");
        } else if (major == Guid::MediaTypeAudio) {
            if (subtype != Guid::AudioFormatAAC) Raise(MF_E_INVALIDMEDIATYPE, what, "audio output must be AAC");
            auto rate = type.Get<uint32_t>(Attribute::AudioSamplesPerSecond);
            auto channels = type.Get<uint32_t>(Attribute::AudioNumChannels);
            if (!rate || !channels) Raise(MF_E_INVALIDMEDIATYPE, what, "AAC output needs a sample rate and channels");
            auto bits = type.Get<uint32_t>(Attribute::AudioBitsPerSample);
            if (bits && *bits != 16) Raise(MF_E_INVALIDMEDIATYPE, what, "AAC is encoded from 16-bit samples: " + Text(*bits));
            s.Codec = avcodec_find_encoder_by_name("aac");
            if (!s.Codec) Raise(MF_E_INVALIDMEDIATYPE, what, "no AAC encoder in this FFmpeg");
            s.SampleRate = static_cast<int32_t>(*rate);
            s.Channels = static_cast<int32_t>(*channels);
            bool rateOk = false;
            for (const int* r = s.Codec->supported_samplerates; r && *r; ++r) rateOk |= *r == s.SampleRate;
            if (!rateOk) Raise(MF_E_INVALIDMEDIATYPE, what, "AAC does not take a sample rate of " + Text(s.SampleRate) + " Hz");
            // The native encoder lists no layouts; it has channel configurations for 1 to 6 and 8.
            bool layoutOk = (s.Channels >= 1 && s.Channels <= 6) || s.Channels == 8;
            if (s.Codec->ch_layouts && layoutOk) {
                AVChannelLayout layout;
                av_channel_layout_default(&layout, s.Channels);
                layoutOk = false;
                for (const AVChannelLayout* l = s.Codec->ch_layouts; l->nb_channels; ++l)
                    layoutOk |= av_channel_layout_compare(l, &layout) == 0;
                av_channel_layout_uninit(&layout);
            }
            if (!layoutOk) Raise(MF_E_INVALIDMEDIATYPE, what, "AAC takes 1 to 6 or 8 channels, not " + Text(s.Channels));
            if (auto bytes = type.Get<uint32_t>(Attribute::AudioAvgBytesPerSecond)) s.BitRate = int64_t(*bytes) * 8;
        } else {
            Raise(MF_E_INVALIDMEDIATYPE, what, "the type is neither video nor audio");
        }
        int id = s.Video ? AV_CODEC_ID_H264 : AV_CODEC_ID_AAC;
        if (avformat_query_codec(format_->oformat, static_cast<AVCodecID>(id), FF_COMPLIANCE_NORMAL) == 0)
            Raise(MF_E_INVALIDMEDIATYPE, what,
                  std::string("the ") + format_->oformat->name + " container cannot hold " + (s.Video ? "H.264" : "AAC"));
        s.Stream = avformat_new_stream(format_.get(), nullptr);
        if (!s.Stream) Raise(hr::E_OUTOFMEMORY_, what, "no memory for a stream");
        streams_.push_back(std::move(s));
        return static_cast<uint32_t>(streams_.size() - 1);
    }

    void SetInputMediaType(uint32_t index, const MediaType& inputType) override {
        const char* what = "SetInputMediaType";
        ClearLastLogError();
        if (state_ != State::Created) Raise(MF_E_INVALIDREQUEST, what, "input types are set before writing begins");
        StreamState& s = StreamAt(index, what);
        if (s.InputSet) Raise(MF_E_INVALIDREQUEST, what, "the stream's input type is already set");
        const Store& type = AsStore(inputType, what);
        if (s.Video)
            OpenVideo(s, type, what);
        else
            OpenAudio(s, type, what);
        s.InputSet = true;
    }

    void BeginWriting() override {
        const char* what = "BeginWriting";
        ClearLastLogError();
        if (state_ != State::Created) Raise(MF_E_INVALIDREQUEST, what, "writing has already begun");
        if (streams_.empty()) Raise(MF_E_INVALIDREQUEST, what, "the writer has no stream");
        for (auto& s : streams_)
            if (!s.InputSet) Raise(MF_E_INVALIDMEDIATYPE, what, "a stream has no input type");
        if (!(format_->oformat->flags & AVFMT_NOFILE)) {
            TryHeaderInMemory(what);
            CheckAv(avio_open(&format_->pb, path_.c_str(), AVIO_FLAG_WRITE), what, "cannot create " + path_);
        }
        CheckAv(avformat_write_header(format_.get(), nullptr), what, "writing the header of " + path_);
        state_ = State::Writing;
        worker_ = std::thread([this] { Work(); });
    }

    void WriteSample(uint32_t index, Sample& sample) override {
        const char* what = "WriteSample";
        if (state_ != State::Writing) Raise(MF_E_INVALIDREQUEST, what, "the writer is not writing");
        StreamState& s = StreamAt(index, what);
        auto* impl = dynamic_cast<SampleImpl*>(&sample);
        if (!impl) Raise(hr::E_INVALIDARG_, what, "not a sample of this writer");
        if (!impl->Time()) Raise(MF_E_INVALIDREQUEST, what, "the sample has no time");
        Job job;
        job.Stream = index;
        job.Time = *impl->Time();
        const auto& buffers = impl->Buffers();
        if (buffers.size() == 1) {
            job.Buffer = buffers[0];  // kept alive until the worker is done with it
            job.Data = job.Buffer->Data();
            job.Length = job.Buffer->Length();
        } else {
            for (auto& b : buffers) job.Copy.insert(job.Copy.end(), b->Data(), b->Data() + b->Length());
            job.Data = job.Copy.data();
            job.Length = job.Copy.size();
        }
        CheckLength(s, job.Length, what);
        Enqueue(std::move(job));
    }

    // FFmpeg's interleaver needs no tick: it waits for a stream with a gap only
    // until the streams are further apart than its interleaving delta (10 s) and
    // then writes what it holds. So a tick only has to be a valid call.
    void SendStreamTick(uint32_t index, int64_t) override {
        const char* what = "SendStreamTick";
        if (state_ != State::Writing) Raise(MF_E_INVALIDREQUEST, what, "the writer is not writing");
        StreamAt(index, what);
    }

    void Finalize() override {
        const char* what = "Finalize";
        ClearLastLogError();
        if (state_ != State::Writing) Raise(MF_E_INVALIDREQUEST, what, "the writer is not writing");
        StopWorker(false);
        if (failure_) std::rethrow_exception(failure_);
        for (auto& s : streams_) {
            if (!s.Video && !s.Pending[0].empty()) {  // the short last frame
                EncodeAudioFrame(s, 0, static_cast<int>(s.Pending[0].size()), what);
                for (auto& p : s.Pending) p.clear();
            }
            CheckAv(avcodec_send_frame(s.Encoder.get(), nullptr), what, "flushing the encoder");
            Drain(s, what);
        }
        CheckAv(av_write_trailer(format_.get()), what, "completing " + path_);
        if (!(format_->oformat->flags & AVFMT_NOFILE)) CheckAv(avio_closep(&format_->pb), what, "closing " + path_);
        state_ = State::Finalized;
    }

private:
    enum class State { Created, Writing, Finalized };

    // Raises, as creating the file would, when `path` cannot be created or written,
    // without creating, truncating or changing anything: an existing file is
    // opened for writing and closed again, for a new one the folder must exist and
    // take new files. A named pipe is only checked for permission, since opening it
    // would wait for (or, without waiting, fail for want of) a reader.
    static void CheckCanCreate(const std::string& path, const char* what) {
        int error = 0;
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) {
            if (S_ISFIFO(st.st_mode)) {
                if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) error = errno;
            } else {
                int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
                if (fd < 0)
                    error = errno;
                else
                    close(fd);
            }
        } else if (errno == ENOENT) {
            size_t slash = path.find_last_of('/');
            std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
            struct stat dir {};
            if (stat(folder.c_str(), &dir) != 0)
                error = errno;
            else if (!S_ISDIR(dir.st_mode))
                error = ENOTDIR;
            else if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
                error = errno;
        } else {
            error = errno;
        }
        if (error != 0) CheckAv(AVERROR(error), what, "cannot create " + path);
    }

    // Writes the container's header for the streams as they are set up into
    // memory and throws it away, so that what the muxer refuses (a stream it
    // cannot hold, a second stream where it takes one) raises before the file is
    // created. The memory is marked seekable, as the file will be, so that the
    // muxer takes the same way as for the file.
    void TryHeaderInMemory(const char* what) {
        struct Trial {
            AVFormatContext* Format = nullptr;
            ~Trial() {
                if (!Format) return;
                if (Format->pb) {
                    uint8_t* bytes = nullptr;
                    avio_close_dyn_buf(Format->pb, &bytes);
                    av_free(bytes);
                    Format->pb = nullptr;
                }
                avformat_free_context(Format);
            }
        } trial;
        avformat_alloc_output_context2(&trial.Format, format_->oformat, nullptr, path_.c_str());
        if (!trial.Format) Raise(hr::E_OUTOFMEMORY_, what, "no memory for the container");
        for (const StreamState& s : streams_) {
            AVStream* copy = avformat_new_stream(trial.Format, nullptr);
            if (!copy) Raise(hr::E_OUTOFMEMORY_, what, "no memory for a stream");
            CheckAv(avcodec_parameters_copy(copy->codecpar, s.Stream->codecpar), what, "describing the stream");
            copy->time_base = s.Stream->time_base;
            copy->avg_frame_rate = s.Stream->avg_frame_rate;
            copy->sample_aspect_ratio = s.Stream->sample_aspect_ratio;
        }
        CheckAv(avio_open_dyn_buf(&trial.Format->pb), what, "writing the header of " + path_);
        trial.Format->pb->seekable = AVIO_SEEKABLE_NORMAL;
        CheckAv(avformat_write_header(trial.Format, nullptr), what, "writing the header of " + path_);
    }

    // A sample waiting for the worker.
    struct Job {
        uint32_t Stream = 0;
        std::shared_ptr<MemoryBuffer> Buffer;  // a single buffer, held until encoded
        std::vector<uint8_t> Copy;             // the bytes of several buffers
        const uint8_t* Data = nullptr;
        size_t Length = 0;
        int64_t Time = 0;
    };
    static constexpr size_t MaxQueued = 3;

    void Enqueue(Job job) {
        std::unique_lock<std::mutex> lock(mutex_);
        space_.wait(lock, [&] { return jobs_.size() < MaxQueued || failure_; });
        if (failure_) std::rethrow_exception(failure_);
        jobs_.push_back(std::move(job));
        work_.notify_one();
    }

    void Work() {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
                space_.notify_one();
            }
            try {
                ClearLastLogError();
                StreamState& s = streams_[job.Stream];
                if (s.Video)
                    WriteVideo(s, job.Data, job.Time, "WriteSample");
                else
                    WriteAudio(s, job.Data, job.Length, job.Time, "WriteSample");
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                failure_ = std::current_exception();
                jobs_.clear();
                space_.notify_all();
                return;
            }
        }
    }

    // Lets the worker finish what is queued (or drops it) and waits for it to end.
    void StopWorker(bool dropQueued) {
        if (!worker_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            if (dropQueued) jobs_.clear();
        }
        work_.notify_all();
        worker_.join();
    }

    void CheckLength(const StreamState& s, size_t length, const char* what) {
        if (s.Video) {
            int64_t rowBytes = int64_t(s.Width) * 4;
            int64_t abs = s.Stride < 0 ? -int64_t(s.Stride) : int64_t(s.Stride);
            int64_t needed = abs * (s.Height - 1) + rowBytes;
            if (int64_t(length) < needed)
                Raise(hr::E_INVALIDARG_, what,
                      "a video sample of " + Text(int64_t(length)) + " bytes is short of a " + Text(s.Width) + "x" +
                          Text(s.Height) + " frame (" + Text(needed) + " bytes)");
        } else {
            size_t frameBytes = size_t(s.Channels) * 2;
            if (length % frameBytes != 0)
                Raise(hr::E_INVALIDARG_, what,
                      "an audio sample of " + Text(int64_t(length)) + " bytes is no whole number of " +
                          Text(int64_t(frameBytes)) + "-byte sample frames");
        }
    }

    StreamState& StreamAt(uint32_t index, const char* what) {
        if (index >= streams_.size()) Raise(MF_E_INVALIDSTREAMNUMBER, what, "no stream " + Text(index));
        return streams_[index];
    }

    void PrepareEncoder(StreamState& s, const char* what) {
        s.Encoder.reset(avcodec_alloc_context3(s.Codec));
        s.Frame.reset(av_frame_alloc());
        if (!s.Encoder || !s.Frame) Raise(hr::E_OUTOFMEMORY_, what, "no memory for the encoder");
        if (format_->oformat->flags & AVFMT_GLOBALHEADER) s.Encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        s.Encoder->thread_count = EncoderThreads();
    }

    void FinishEncoder(StreamState& s, const char* what) {
        CheckAv(avcodec_open2(s.Encoder.get(), s.Codec, nullptr), what,
                std::string("opening the ") + (s.Video ? "H.264" : "AAC") + " encoder");
        CheckAv(avcodec_parameters_from_context(s.Stream->codecpar, s.Encoder.get()), what, "describing the stream");
        s.Stream->time_base = s.Encoder->time_base;
    }

    void OpenVideo(StreamState& s, const Store& type, const char* what) {
        if (type.Get<Guid>(Attribute::MajorType) != Guid::MediaTypeVideo ||
            type.Get<Guid>(Attribute::Subtype) != Guid::VideoFormatRGB32)
            Raise(MF_E_INVALIDMEDIATYPE, what, "video input must be RGB32");
        if (auto size = type.Get<uint64_t>(Attribute::FrameSize);
            size && *size != PackPair(uint32_t(s.Width), uint32_t(s.Height)))
            Raise(MF_E_INVALIDMEDIATYPE, what,
                  "video input is " + Text(int32_t(*size >> 32)) + "x" + Text(int32_t(*size & 0xFFFFFFFFu)) +
                      ", the output " + Text(s.Width) + "x" + Text(s.Height) + ": no scaling");
        if (auto rate = type.Get<uint64_t>(Attribute::FrameRate);
            rate && *rate != PackPair(uint32_t(s.Rate.num), uint32_t(s.Rate.den)))
            Raise(MF_E_INVALIDMEDIATYPE, what, "video input has another frame rate than the output");
        if (auto interlace = type.Get<uint32_t>(Attribute::InterlaceMode);
            interlace && *interlace != InterlaceProgressive)
            Raise(MF_E_INVALIDMEDIATYPE, what, "only progressive video is written");
        int rowBytes = s.Width * 4;
        s.Stride = rowBytes;
        if (auto stride = type.Get<uint32_t>(Attribute::DefaultStride)) s.Stride = static_cast<int32_t>(*stride);
        if (s.Stride < rowBytes && -s.Stride < rowBytes)
            Raise(MF_E_INVALIDMEDIATYPE, what,
                  "a stride of " + Text(s.Stride) + " bytes is less than a row of " + Text(rowBytes));

        PrepareEncoder(s, what);
        AVCodecContext* e = s.Encoder.get();
        e->width = s.Width;
        e->height = s.Height;
        e->framerate = s.Rate;
        e->time_base = av_inv_q(s.Rate);
        e->pix_fmt = AV_PIX_FMT_YUV420P;
        e->sample_aspect_ratio = s.Aspect;
        e->field_order = AV_FIELD_PROGRESSIVE;
        e->color_range = AVCOL_RANGE_MPEG;
        e->colorspace = AVCOL_SPC_BT709;
        e->color_primaries = AVCOL_PRI_BT709;
        e->color_trc = AVCOL_TRC_BT709;
        // libx264 takes the rate in whole kbit/s: below 1000 bit/s it would be 0,
        // which it refuses, so a tiny recording gets the smallest rate it accepts.
        if (s.BitRate > 0) e->bit_rate = std::max<int64_t>(s.BitRate, kMinVideoBitRate);
        av_opt_set(e->priv_data, "preset", "veryfast", 0);
        FinishEncoder(s, what);
        s.Stream->avg_frame_rate = s.Rate;
        s.Stream->sample_aspect_ratio = s.Aspect;

        s.Frame->format = e->pix_fmt;
        s.Frame->width = s.Width;
        s.Frame->height = s.Height;
        CheckAv(av_frame_get_buffer(s.Frame.get(), 0), what, "allocating a frame");
        s.Source.reset(av_frame_alloc());
        s.Scaler.reset(sws_alloc_context());
        if (!s.Source || !s.Scaler) Raise(hr::E_OUTOFMEMORY_, what, "no memory for the colour conversion");
        av_opt_set_int(s.Scaler.get(), "srcw", s.Width, 0);
        av_opt_set_int(s.Scaler.get(), "srch", s.Height, 0);
        av_opt_set_int(s.Scaler.get(), "src_format", AV_PIX_FMT_BGR0, 0);
        av_opt_set_int(s.Scaler.get(), "dstw", s.Width, 0);
        av_opt_set_int(s.Scaler.get(), "dsth", s.Height, 0);
        av_opt_set_int(s.Scaler.get(), "dst_format", AV_PIX_FMT_YUV420P, 0);
        av_opt_set_int(s.Scaler.get(), "sws_flags", SWS_BILINEAR | SWS_ACCURATE_RND, 0);
        av_opt_set_int(s.Scaler.get(), "threads", EncoderThreads(), 0);
        CheckAv(sws_init_context(s.Scaler.get(), nullptr, nullptr), what, "setting up the colour conversion");
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(s.Scaler.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    }

    void OpenAudio(StreamState& s, const Store& type, const char* what) {
        if (type.Get<Guid>(Attribute::MajorType) != Guid::MediaTypeAudio ||
            type.Get<Guid>(Attribute::Subtype) != Guid::AudioFormatPCM)
            Raise(MF_E_INVALIDMEDIATYPE, what, "audio input must be PCM");
        auto bits = type.Get<uint32_t>(Attribute::AudioBitsPerSample);
        if (bits && *bits != 16) Raise(MF_E_INVALIDMEDIATYPE, what, "audio input must have 16-bit samples: " + Text(*bits));
        auto rate = type.Get<uint32_t>(Attribute::AudioSamplesPerSecond);
        auto channels = type.Get<uint32_t>(Attribute::AudioNumChannels);
        if ((rate && int64_t(*rate) != s.SampleRate) || (channels && int64_t(*channels) != s.Channels))
            Raise(MF_E_INVALIDMEDIATYPE, what, "audio input must have the output's sample rate and channels");
        auto align = type.Get<uint32_t>(Attribute::AudioBlockAlignment);
        if (align && int64_t(*align) != int64_t(s.Channels) * 2)
            Raise(MF_E_INVALIDMEDIATYPE, what, "audio block alignment " + Text(*align) + " is not channels x 2");
        auto bytes = type.Get<uint32_t>(Attribute::AudioAvgBytesPerSecond);
        if (bytes && int64_t(*bytes) != int64_t(s.SampleRate) * s.Channels * 2)
            Raise(MF_E_INVALIDMEDIATYPE, what, "audio byte rate " + Text(*bytes) + " is not rate x channels x 2");

        PrepareEncoder(s, what);
        AVCodecContext* e = s.Encoder.get();
        e->sample_fmt = AV_SAMPLE_FMT_FLTP;
        e->sample_rate = s.SampleRate;
        av_channel_layout_default(&e->ch_layout, s.Channels);
        e->time_base = AVRational{1, s.SampleRate};
        if (s.BitRate > 0) e->bit_rate = s.BitRate;
        FinishEncoder(s, what);
        s.Pending.assign(s.Channels, {});
        s.Frame->format = e->sample_fmt;
        s.Frame->nb_samples = e->frame_size;
        CheckAv(av_channel_layout_copy(&s.Frame->ch_layout, &e->ch_layout), what, "describing the audio frame");
        CheckAv(av_frame_get_buffer(s.Frame.get(), 0), what, "allocating an audio frame");
    }

    void WriteVideo(StreamState& s, const uint8_t* data, int64_t time, const char* what) {
        int64_t abs = s.Stride < 0 ? -int64_t(s.Stride) : int64_t(s.Stride);
        CheckAv(av_frame_make_writable(s.Frame.get()), what, "reusing the frame");
        s.Source->format = AV_PIX_FMT_BGR0;
        s.Source->width = s.Width;
        s.Source->height = s.Height;
        s.Source->data[0] = const_cast<uint8_t*>(s.Stride < 0 ? data + abs * (s.Height - 1) : data);
        s.Source->linesize[0] = s.Stride;
        CheckAv(sws_scale_frame(s.Scaler.get(), s.Frame.get(), s.Source.get()), what, "converting the frame's colours");
        s.Source->data[0] = nullptr;
        int64_t pts = av_rescale_q(time, AVRational{1, int(Ticks)}, s.Encoder->time_base);
        if (s.LastPts != INT64_MIN && pts <= s.LastPts) pts = s.LastPts + 1;
        s.LastPts = pts;
        s.Frame->pts = pts;
        CheckAv(avcodec_send_frame(s.Encoder.get(), s.Frame.get()), what, "encoding a video frame");
        Drain(s, what);
    }

    void WriteAudio(StreamState& s, const uint8_t* data, size_t length, int64_t time, const char* what) {
        size_t frameBytes = size_t(s.Channels) * 2;
        if (!s.Started) {
            s.NextPts = av_rescale_q(time, AVRational{1, int(Ticks)}, s.Encoder->time_base);
            s.Started = true;
        }
        size_t frames = length / frameBytes;
        for (size_t i = 0; i < frames; ++i) {
            for (int c = 0; c < s.Channels; ++c) {
                int16_t v;
                std::memcpy(&v, data + (i * s.Channels + c) * 2, 2);
                s.Pending[c].push_back(static_cast<float>(v) * (1.0f / 32768.0f));
            }
        }
        int frameSize = s.Encoder->frame_size;
        size_t used = 0;
        while (s.Pending[0].size() - used >= size_t(frameSize)) {
            EncodeAudioFrame(s, used, frameSize, what);
            used += frameSize;
        }
        if (used > 0)
            for (auto& p : s.Pending) p.erase(p.begin(), p.begin() + used);
    }

    // Encodes `count` pending samples from `offset` as one frame; the caller drops them.
    void EncodeAudioFrame(StreamState& s, size_t offset, int count, const char* what) {
        CheckAv(av_frame_make_writable(s.Frame.get()), what, "reusing the audio frame");
        s.Frame->nb_samples = count;
        for (int c = 0; c < s.Channels; ++c)
            std::memcpy(s.Frame->data[c], s.Pending[c].data() + offset, size_t(count) * sizeof(float));
        s.Frame->pts = s.NextPts;
        s.NextPts += count;
        CheckAv(avcodec_send_frame(s.Encoder.get(), s.Frame.get()), what, "encoding audio");
        Drain(s, what);
    }

    void Drain(StreamState& s, const char* what) {
        for (;;) {
            int r = avcodec_receive_packet(s.Encoder.get(), packet_.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            CheckAv(r, what, std::string("encoding ") + (s.Video ? "video" : "audio"));
            if (s.Video && packet_->duration == 0) packet_->duration = 1;  // one frame
            av_packet_rescale_ts(packet_.get(), s.Encoder->time_base, s.Stream->time_base);
            packet_->stream_index = s.Stream->index;
            CheckAv(av_interleaved_write_frame(format_.get(), packet_.get()), what, "writing to " + path_);
        }
    }

    std::string path_;
    FormatHandle format_;
    PacketHandle packet_;
    std::vector<StreamState> streams_;
    State state_ = State::Created;
    // The worker and its queue.
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable work_, space_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::exception_ptr failure_;
};

}  // namespace

void Startup() {}
void Shutdown() {}

std::shared_ptr<Attributes> CreateAttributes(uint32_t) { return std::make_shared<Store>(); }
std::shared_ptr<MediaType> CreateMediaType() { return std::make_shared<Store>(); }
std::shared_ptr<MediaBuffer> CreateMemoryBuffer(uint32_t maxLength) { return std::make_shared<MemoryBuffer>(maxLength); }
std::shared_ptr<Sample> CreateSample() { return std::make_shared<SampleImpl>(); }

std::shared_ptr<SinkWriter> CreateSinkWriterFromURL(const std::string& path, const Attributes* attributes) {
    if (attributes) AsStore(*attributes, "CreateSinkWriterFromURL");
    return std::make_shared<FfmpegSinkWriter>(path);
}

}  // namespace velk::video
