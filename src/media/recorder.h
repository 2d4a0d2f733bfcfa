// The offline recorder: draws each frame of the demo at the recording size, reads
// it back and hands it to the video writer as one H.264 sample, followed by the
// slice of the soundtrack that plays during that frame, faded with the music's
// closing fade, as one AAC sample.
//
// Time comes from the frame count alone, never from a clock: frame k is drawn at
// k / fps and its sound is the sample frames from k x rate / fps up to (k + 1) x
// rate / fps, so the file is the same however slowly the frames are made. The
// recorder never plays sound and never touches the window.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "media/music.h"
#include "media/video_writer.h"
#include "render/gpu.h"
#include "render/renderer.h"

namespace velk {

class Recorder {
public:
    // Creates the record-size target, its view and the staging copy on the
    // renderer's device, and the writer on `outputPath` with an H.264 stream and,
    // with music, an AAC stream; the file is created (an existing one replaced)
    // once the writer has accepted them. Raises when the platform refuses the
    // path, the container, the size, the rate or the audio format.
    Recorder(velk::Renderer& renderer, velk::Music* music, const std::string& outputPath, int32_t width,
             int32_t height, int32_t fps);
    virtual ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // The time of the next frame: FrameIndex / Fps, rounded to single precision.
    float Seconds() const;
    // Draws the frame at Seconds() and starts its read-back; writes the frame drawn
    // before it, with its sound, meanwhile. So each frame is written by the next
    // call, or by Dispose for the last one.
    void RecordFrame();
    // Writes the last frame drawn, completes the file and releases what the
    // recorder owns. Nothing may be recorded afterwards; a second call does nothing.
    virtual void Dispose();
    // Completes the file without the GPU, for when its context has gone with the
    // display: the frames handed to the writer are encoded and the file is
    // finalised; the frame drawn but not read back is left out. Releases nothing
    // of the GPU's; the process ends right after it.
    void CompleteWithoutGpu();

    velk::Renderer& Renderer;  // not owned
    velk::Music* Music;        // not owned; null records video only
    // The frame being drawn goes into Target and is copied into Staging; the frame
    // drawn before waits in the pending three until written. They swap each frame.
    std::shared_ptr<gpu::Texture2D> Target;
    std::shared_ptr<gpu::Texture2D> Staging;
    std::shared_ptr<gpu::RenderTargetView> TargetView;
    std::shared_ptr<gpu::Texture2D> PendingTarget;
    std::shared_ptr<gpu::Texture2D> PendingStaging;
    std::shared_ptr<gpu::RenderTargetView> PendingTargetView;
    // The platform's media start-up, held from before the writer is made until after
    // it has gone (also when the constructor raises halfway).
    std::optional<video::Started> Platform;
    std::shared_ptr<video::SinkWriter> Writer;
    int64_t FrameIndex = 0;               // frames drawn
    std::optional<int64_t> Pending;       // the drawn frame not yet written
    int32_t VideoStream = 0;
    int32_t AudioStream = 0;
    int32_t Width;
    int32_t Height;
    int32_t Fps;

private:
    // A new system-memory buffer of `size` bytes, locked; with its memory.
    std::pair<std::shared_ptr<video::MediaBuffer>, uint8_t*> CreateLockedBuffer(int32_t size);
    // Unlocks the buffer and writes `length` bytes of it as one sample of the stream.
    void WriteBuffer(int32_t stream, const std::shared_ptr<video::MediaBuffer>& buffer, int32_t length, int64_t time,
                     int64_t duration);
    // Reads back the pending frame and writes it, then its sound.
    void WritePending();
    void WriteAudioChunk(int64_t frame);
};

}  // namespace velk
