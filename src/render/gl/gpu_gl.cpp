// GPU layer on OpenGL 4.5 core (Linux), through SDL2's GL context and libepoxy.
//
// What it maps:
// - one GL context per process, made on a hidden SDL window so that a device works
//   without any window (tests, tools); a swap chain makes the same context current
//   on the demo window, so every object can be drawn offscreen and presented;
// - textures B8G8R8A8_UNORM (GL_RGBA8 fed as BGRA bytes) and R32G32_FLOAT
//   (GL_RG32F), full or given mip chains, immutable storage; staging textures live
//   in memory; a copy from a GPU texture into one is made on a read-back thread
//   with a context of its own once the draws before it are done, while the caller
//   goes on: Map waits for it, and so does anything that changes either texture;
// - every draw goes into a framebuffer object whose memory row 0 is the picture's
//   top row; with the compiler's flipped vertex y this gives Direct3D's SV_Position,
//   ddy and texture-row orientation, and read-backs need no flip; the swap chain's
//   buffer is such a texture, presented with one vertically flipped blit;
// - bound state stays until changed: textures, samplers, the constant buffer and the
//   shaders are applied at each draw from the context's own bindings;
// - a sampler bound at slot s<n> is applied to every texture unit that the pixel
//   shader samples through s<n> (the compiler records which);
// - the 16-byte constant buffer is a uniform buffer, written whole at Unmap;
// - a pixel shader specialised on its constant buffer (shader_variants_gl.h) draws
//   with the program of the combination the bound buffers' values give;
// - an anisotropic sampler filters anisotropically on a GPU and trilinearly on
//   Mesa's software rasterizers (llvmpipe), where anisotropy is an elliptical
//   average about eight times slower per frame that also blurs texel centres.
// - rasterizer state is Direct3D's default at every draw: solid fill, triangles
//   counter-clockwise on screen culled;
// What it does not do: blend, depth-stencil or other rasterizer state (none is
// ever set), more than one render target, multisampling, exclusive full screen,
// Alt+Enter.
#include <SDL.h>
#include <epoxy/gl.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>

#include "host/errors.h"
#include "render/gpu.h"
#include "render/gl/gl_window_attributes.h"
#include "render/gl/shader_variants_gl.h"
#include "render/gl/worker_contexts_gl.h"

namespace velk::gpu {

namespace {

constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
constexpr int32_t E_INVALIDARG = static_cast<int32_t>(0x80070057u);

[[noreturn]] void Fail(const std::string& what, const std::string& reason, int32_t code = E_FAIL) {
    ThrowIfFailed(code, what, reason);
    throw ComException(what + " failed", code);
}

struct FormatInfo {
    GLenum Internal;
    GLenum External;
    GLenum Type;
    uint32_t Bytes;
};

FormatInfo Info(PixelFormat format) {
    switch (format) {
        case PixelFormat::B8G8R8A8_UNORM: return {GL_RGBA8, GL_BGRA, GL_UNSIGNED_BYTE, 4};
        case PixelFormat::R32G32_FLOAT: return {GL_RG32F, GL_RG, GL_FLOAT, 8};
        default: break;
    }
    Fail("CreateTexture2D", "unsupported format " + std::to_string(static_cast<uint32_t>(format)), E_INVALIDARG);
}

uint32_t FullChain(uint32_t w, uint32_t h) {
    uint32_t levels = 1;
    for (uint32_t m = std::max(w, h); m > 1; m >>= 1) ++levels;
    return levels;
}

// A copy into a staging texture's memory that a read-back thread makes.
class ReadBack {
public:
    void Wait() {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return done_; });
    }
    void Finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        finished_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

// Forgets errors of earlier calls, so that the next check sees only its own.
void ClearErrors() {
    for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
    }
}

uint32_t LevelSize(uint32_t size, uint32_t level) { return std::max(1u, size >> level); }

// The process's GL context and the window it was made on. Every object holds a
// reference, so the context outlives all of them.
struct Runtime {
    SDL_Window* Hidden = nullptr;
    SDL_GLContext Context = nullptr;
    std::unique_ptr<class GlContext> Immediate;
    // The read-back thread, made on the first copy into a staging texture.
    std::unique_ptr<WorkerContexts> Readback;
    bool ReadbackTried = false;
    GLuint Pipeline = 0;
    GLuint EmptyVertexArray = 0;
    bool Anisotropy = false;

    ~Runtime();
};

std::weak_ptr<Runtime> gRuntime;

class GlTexture;
class GlRenderTargetView;
class GlShaderResourceView;
class GlSampler;
class GlBuffer;
template <class Base, GLenum Stage>
class GlShader;
using GlVertexShader = GlShader<VertexShader, GL_VERTEX_SHADER>;
using GlPixelShader = GlShader<PixelShader, GL_FRAGMENT_SHADER>;

class GlContext : public DeviceContext {
public:
    explicit GlContext(Runtime& runtime) : runtime_(runtime) {}

    MappedSubresource Map(Buffer& buffer, MapType type) override;
    void Unmap(Buffer& buffer) override;
    MappedSubresource Map(Texture2D& texture, uint32_t subresource, MapType type) override;
    void Unmap(Texture2D&, uint32_t) override {}
    void OMSetRenderTargets(RenderTargetView* target) override;
    void RSSetViewport(float x, float y, float width, float height, float minDepth, float maxDepth) override {
        viewport_ = {x, y, width, height, minDepth, maxDepth};
    }
    void IASetPrimitiveTopologyTriangleList() override {}
    void VSSetShader(VertexShader* shader) override;
    void PSSetShader(PixelShader* shader) override;
    void PSSetConstantBuffer(uint32_t slot, Buffer* buffer) override;
    void PSSetShaderResources(uint32_t startSlot, std::span<ShaderResourceView* const> views) override;
    void PSSetSampler(uint32_t slot, SamplerState* sampler) override;
    void Draw(uint32_t vertexCount, uint32_t startVertex) override;
    void ClearRenderTargetView(RenderTargetView& target, const float rgba[4]) override;
    void ClearState() override;
    void CopyResource(Texture2D& destination, Texture2D& source) override;
    void CopySubresourceRegion(Texture2D& destination, uint32_t destinationSubresource, uint32_t x, uint32_t y,
                               Texture2D& source, uint32_t sourceSubresource) override;
    void UpdateSubresource(Texture2D& destination, uint32_t subresource, const void* data,
                           uint32_t rowPitch) override;
    void GenerateMips(ShaderResourceView& view) override;

    // A destroyed object leaves every slot it was bound to.
    void Forget(const void* object);

private:
    static constexpr size_t kSlots = 128;
    Runtime& runtime_;
    GlRenderTargetView* target_ = nullptr;
    std::array<float, 6> viewport_{0, 0, 0, 0, 0, 1};
    GlVertexShader* vertexShader_ = nullptr;
    GlPixelShader* pixelShader_ = nullptr;
    std::array<GlBuffer*, 14> constantBuffers_{};
    std::array<GlShaderResourceView*, kSlots> views_{};
    std::array<GlSampler*, 16> samplers_{};
    DrawBindings bindings_;  // of the last specialised draw, reused
};

class GlTexture : public Texture2D {
public:
    GlTexture(std::shared_ptr<Runtime> runtime, const Texture2DDesc& desc) : runtime_(std::move(runtime)), desc_(desc) {
        if (desc_.Width == 0 || desc_.Height == 0 || desc_.Width > 16384 || desc_.Height > 16384)
            Fail("CreateTexture2D", "size " + std::to_string(desc_.Width) + "x" + std::to_string(desc_.Height),
                 E_INVALIDARG);
        if (desc_.ArraySize != 1 || desc_.SampleCount != 1)
            Fail("CreateTexture2D", "only single textures without multisampling", E_INVALIDARG);
        format_ = Info(desc_.Format);
        if (desc_.MipLevels == 0) desc_.MipLevels = FullChain(desc_.Width, desc_.Height);
        if (desc_.MipLevels > FullChain(desc_.Width, desc_.Height))
            Fail("CreateTexture2D", "too many mip levels", E_INVALIDARG);
        if (desc_.Usage == ResourceUsage::Staging) {
            size_t total = 0;
            for (uint32_t level = 0; level < desc_.MipLevels; ++level) {
                offsets_.push_back(total);
                total += size_t(LevelSize(desc_.Width, level)) * LevelSize(desc_.Height, level) * format_.Bytes;
            }
            memory_.assign(total, 0);
            return;
        }
        ClearErrors();
        glCreateTextures(GL_TEXTURE_2D, 1, &name_);
        glTextureStorage2D(name_, static_cast<GLsizei>(desc_.MipLevels), format_.Internal,
                           static_cast<GLsizei>(desc_.Width), static_cast<GLsizei>(desc_.Height));
        if (GLenum error = glGetError(); error != GL_NO_ERROR)
            Fail("CreateTexture2D", "GL error " + std::to_string(error), static_cast<int32_t>(0x8007000Eu));
    }
    ~GlTexture() override {
        AwaitReadBacks();
        if (runtime_->Immediate) runtime_->Immediate->Forget(this);
        if (name_) {
            AwaitWarmUpDraws(BoundObject::Texture, name_);
            glDeleteTextures(1, &name_);
        }
    }
    Texture2DDesc GetDesc() const override { return desc_; }

    bool IsStaging() const { return name_ == 0; }
    GLuint Name() const { return name_; }
    const FormatInfo& Format() const { return format_; }
    uint32_t Width(uint32_t level) const { return LevelSize(desc_.Width, level); }
    uint32_t Height(uint32_t level) const { return LevelSize(desc_.Height, level); }
    // A staging level's memory, once every read-back into it is done.
    uint8_t* Memory(uint32_t level) {
        AwaitReadBacks();
        return memory_.data() + offsets_.at(level);
    }
    // Before the texture changes, or its memory is read: the read-backs from it or
    // into it (the read-back thread makes them in order, so the last one is enough).
    void AwaitReadBacks() {
        if (!readBack_) return;
        readBack_->Wait();
        readBack_.reset();
    }
    void SetReadBack(std::shared_ptr<ReadBack> readBack) { readBack_ = std::move(readBack); }
    Runtime& GetRuntime() const { return *runtime_; }
    size_t LevelBytes(uint32_t level) const { return size_t(Width(level)) * Height(level) * format_.Bytes; }
    void CheckLevel(uint32_t level, const char* what) const {
        if (level >= desc_.MipLevels) Fail(what, "no subresource " + std::to_string(level), E_INVALIDARG);
    }

private:
    std::shared_ptr<Runtime> runtime_;
    Texture2DDesc desc_;
    FormatInfo format_{};
    GLuint name_ = 0;
    std::vector<uint8_t> memory_;
    std::vector<size_t> offsets_;
    std::shared_ptr<ReadBack> readBack_;
};

class GlBuffer : public Buffer {
public:
    GlBuffer(std::shared_ptr<Runtime> runtime, uint32_t size) : runtime_(std::move(runtime)), shadow_(size, 0) {
        glCreateBuffers(1, &name_);
        glNamedBufferStorage(name_, size, nullptr, GL_DYNAMIC_STORAGE_BIT);
    }
    ~GlBuffer() override {
        if (runtime_->Immediate) runtime_->Immediate->Forget(this);
        AwaitWarmUpDraws(BoundObject::Buffer, name_);
        glDeleteBuffers(1, &name_);
    }
    uint32_t ByteWidth() const override { return static_cast<uint32_t>(shadow_.size()); }
    GLuint Name() const { return name_; }
    std::vector<uint8_t>& Shadow() { return shadow_; }

private:
    std::shared_ptr<Runtime> runtime_;
    std::vector<uint8_t> shadow_;
    GLuint name_ = 0;
};

class GlRenderTargetView : public RenderTargetView {
public:
    GlRenderTargetView(std::shared_ptr<Runtime> runtime, std::shared_ptr<GlTexture> texture)
        : runtime_(std::move(runtime)), texture_(std::move(texture)) {
        if (texture_->IsStaging() || !(texture_->GetDesc().BindFlags & BindRenderTarget))
            Fail("CreateRenderTargetView", "the texture is not a render target", E_INVALIDARG);
        glCreateFramebuffers(1, &framebuffer_);
        glNamedFramebufferTexture(framebuffer_, GL_COLOR_ATTACHMENT0, texture_->Name(), 0);
        GLenum status = glCheckNamedFramebufferStatus(framebuffer_, GL_DRAW_FRAMEBUFFER);
        if (status != GL_FRAMEBUFFER_COMPLETE) {
            glDeleteFramebuffers(1, &framebuffer_);
            Fail("CreateRenderTargetView", "framebuffer incomplete (" + std::to_string(status) + ")");
        }
    }
    ~GlRenderTargetView() override {
        if (runtime_->Immediate) runtime_->Immediate->Forget(this);
        glDeleteFramebuffers(1, &framebuffer_);
    }
    std::shared_ptr<Texture2D> Resource() const override { return texture_; }
    GLuint Framebuffer() const { return framebuffer_; }
    GlTexture& Texture() const { return *texture_; }

private:
    std::shared_ptr<Runtime> runtime_;
    std::shared_ptr<GlTexture> texture_;
    GLuint framebuffer_ = 0;
};

class GlShaderResourceView : public ShaderResourceView {
public:
    GlShaderResourceView(std::shared_ptr<Runtime> runtime, std::shared_ptr<GlTexture> texture)
        : runtime_(std::move(runtime)), texture_(std::move(texture)) {
        if (texture_->IsStaging() || !(texture_->GetDesc().BindFlags & BindShaderResource))
            Fail("CreateShaderResourceView", "the texture is not a shader resource", E_INVALIDARG);
    }
    ~GlShaderResourceView() override { if (runtime_->Immediate) runtime_->Immediate->Forget(this); }
    std::shared_ptr<Texture2D> Resource() const override { return texture_; }
    GlTexture& Texture() const { return *texture_; }

private:
    std::shared_ptr<Runtime> runtime_;
    std::shared_ptr<GlTexture> texture_;
};

GLenum Wrap(AddressMode mode) { return mode == AddressMode::Wrap ? GL_REPEAT : GL_CLAMP_TO_EDGE; }

class GlSampler : public SamplerState {
public:
    GlSampler(std::shared_ptr<Runtime> runtime, const SamplerDesc& desc) : runtime_(std::move(runtime)) {
        glCreateSamplers(1, &name_);
        glSamplerParameteri(name_, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        glSamplerParameteri(name_, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glSamplerParameteri(name_, GL_TEXTURE_WRAP_S, Wrap(desc.AddressU));
        glSamplerParameteri(name_, GL_TEXTURE_WRAP_T, Wrap(desc.AddressV));
        glSamplerParameteri(name_, GL_TEXTURE_WRAP_R, Wrap(desc.AddressW));
        glSamplerParameterf(name_, GL_TEXTURE_LOD_BIAS, desc.MipLodBias);
        glSamplerParameterf(name_, GL_TEXTURE_MIN_LOD, desc.MinLod);
        glSamplerParameterf(name_, GL_TEXTURE_MAX_LOD, desc.MaxLod);
        glSamplerParameterfv(name_, GL_TEXTURE_BORDER_COLOR, desc.BorderColor);
        if (desc.Filter == FilterMode::Anisotropic && runtime_->Anisotropy)
            glSamplerParameterf(name_, GL_TEXTURE_MAX_ANISOTROPY_EXT,
                                static_cast<float>(std::clamp(desc.MaxAnisotropy, 1u, 16u)));
    }
    ~GlSampler() override {
        if (runtime_->Immediate) runtime_->Immediate->Forget(this);
        AwaitWarmUpDraws(BoundObject::Sampler, name_);
        glDeleteSamplers(1, &name_);
    }
    GLuint Name() const { return name_; }

private:
    std::shared_ptr<Runtime> runtime_;
    GLuint name_ = 0;
};

// The compiler's output: the GLSL, the sampler slot each texture unit is sampled
// through, and what a pixel shader is specialised on.
struct ShaderCode {
    std::string Glsl;
    std::vector<std::pair<uint32_t, uint32_t>> UnitSamplers;
    Specialization Specialized;
};

ShaderCode ParseCode(std::span<const uint8_t> bytecode, const char* what) {
    std::string text(bytecode.begin(), bytecode.end());
    const std::string magic = "VELKGLSL1\n";
    size_t split = text.find("\n\n");
    if (text.rfind(magic, 0) != 0 || split == std::string::npos) Fail(what, "not a compiled shader", E_INVALIDARG);
    ShaderCode code;
    std::istringstream header(text.substr(magic.size(), split + 1 - magic.size()));
    for (std::string line; std::getline(header, line);) {
        std::istringstream fields(line);
        std::string word;
        fields >> word;
        if (word == "sampler") {
            uint32_t unit = 0, slot = 0;
            if (fields >> unit >> slot) code.UnitSamplers.emplace_back(unit, slot);
        } else {
            code.Specialized.ReadLine(line);
        }
    }
    code.Glsl = text.substr(split + 2);
    return code;
}

// A vertex or pixel shader: one separable program of its stage, or, for a pixel
// shader specialised on its constant buffer, one per combination of its conditions
// (shader_variants_gl.h).
template <class Base, GLenum Stage>
class GlShader : public Base {
public:
    GlShader(std::shared_ptr<Runtime> runtime, std::span<const uint8_t> bytecode)
        : runtime_(std::move(runtime)) {
        ShaderCode code = ParseCode(bytecode, What());
        unitSamplers_ = std::move(code.UnitSamplers);
        if (Stage == GL_FRAGMENT_SHADER && !code.Specialized.Empty()) {
            variants_ = std::make_unique<ShaderVariants>(std::move(code.Glsl), std::move(code.Specialized), What());
        } else {
            program_ = LinkSeparableProgram(Stage, code.Glsl, What());
            // The warm-up draws link the vertex stage anew on their own contexts.
            if (Stage == GL_VERTEX_SHADER) glsl_ = std::move(code.Glsl);
        }
    }
    ~GlShader() override {
        if (runtime_->Immediate) runtime_->Immediate->Forget(this);
        variants_.reset();
        if (program_) glDeleteProgram(program_);
    }
    const std::vector<std::pair<uint32_t, uint32_t>>& UnitSamplers() const { return unitSamplers_; }
    ShaderVariants* Variants() const { return variants_.get(); }
    GLuint Program() const { return program_; }
    const std::string& Glsl() const { return glsl_; }

private:
    static const char* What() { return Stage == GL_VERTEX_SHADER ? "CreateVertexShader" : "CreatePixelShader"; }

    std::shared_ptr<Runtime> runtime_;
    std::vector<std::pair<uint32_t, uint32_t>> unitSamplers_;
    GLuint program_ = 0;
    std::string glsl_;
    std::unique_ptr<ShaderVariants> variants_;
};

template <class T, class U>
T& As(U& object, const char* what) {
    auto* p = dynamic_cast<T*>(&object);
    if (!p) Fail(what, "object of another device", E_INVALIDARG);
    return *p;
}
template <class T, class U>
T* AsOrNull(U* object, const char* what) {
    return object ? &As<T>(*object, what) : nullptr;
}

// --- context ---

MappedSubresource GlContext::Map(Buffer& buffer, MapType type) {
    auto& b = As<GlBuffer>(buffer, "Map");
    if (type != MapType::WriteDiscard) Fail("Map", "a constant buffer maps for writing only", E_INVALIDARG);
    return {b.Shadow().data(), b.ByteWidth(), b.ByteWidth()};
}

void GlContext::Unmap(Buffer& buffer) {
    auto& b = As<GlBuffer>(buffer, "Unmap");
    glNamedBufferSubData(b.Name(), 0, b.ByteWidth(), b.Shadow().data());
}

MappedSubresource GlContext::Map(Texture2D& texture, uint32_t subresource, MapType type) {
    auto& t = As<GlTexture>(texture, "Map");
    if (!t.IsStaging() || type != MapType::Read) Fail("Map", "only staging textures map for reading", E_INVALIDARG);
    t.CheckLevel(subresource, "Map");
    uint32_t pitch = t.Width(subresource) * t.Format().Bytes;
    return {t.Memory(subresource), pitch, pitch * t.Height(subresource)};
}

void GlContext::OMSetRenderTargets(RenderTargetView* target) {
    target_ = AsOrNull<GlRenderTargetView>(target, "OMSetRenderTargets");
}
void GlContext::VSSetShader(VertexShader* shader) { vertexShader_ = AsOrNull<GlVertexShader>(shader, "VSSetShader"); }
void GlContext::PSSetShader(PixelShader* shader) { pixelShader_ = AsOrNull<GlPixelShader>(shader, "PSSetShader"); }

void GlContext::PSSetConstantBuffer(uint32_t slot, Buffer* buffer) {
    if (slot < constantBuffers_.size()) constantBuffers_[slot] = AsOrNull<GlBuffer>(buffer, "PSSetConstantBuffers");
}

void GlContext::PSSetShaderResources(uint32_t startSlot, std::span<ShaderResourceView* const> views) {
    for (size_t i = 0; i < views.size() && startSlot + i < kSlots; ++i)
        views_[startSlot + i] = AsOrNull<GlShaderResourceView>(views[i], "PSSetShaderResources");
}

void GlContext::PSSetSampler(uint32_t slot, SamplerState* sampler) {
    if (slot < samplers_.size()) samplers_[slot] = AsOrNull<GlSampler>(sampler, "PSSetSamplers");
}

void GlContext::Draw(uint32_t vertexCount, uint32_t startVertex) {
    // Without a target, a vertex shader or a pixel shader nothing is written.
    if (!target_ || !vertexShader_ || !pixelShader_) return;
    target_->Texture().AwaitReadBacks();
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, target_->Framebuffer());
    glViewportIndexedf(0, viewport_[0], viewport_[1], viewport_[2], viewport_[3]);
    glDepthRangeIndexed(0, viewport_[4], viewport_[5]);
    glUseProgram(0);
    GLuint pixelProgram = pixelShader_->Program();
    if (ShaderVariants* variants = pixelShader_->Variants()) {
        // The variant for the bound constant buffers' values; the bindings let it
        // compile the other variants for the same state elsewhere.
        DrawBindings& bindings = bindings_;
        if (bindings.VertexGlsl != vertexShader_->Glsl()) bindings.VertexGlsl = vertexShader_->Glsl();
        bindings.UniformBuffers.clear();
        for (size_t slot = 0; slot < constantBuffers_.size(); ++slot)
            if (constantBuffers_[slot])
                bindings.UniformBuffers.emplace_back(static_cast<uint32_t>(slot), constantBuffers_[slot]->Name());
        bindings.TextureUnits.clear();
        for (const auto& [unit, slot] : pixelShader_->UnitSamplers()) {
            if (unit >= kSlots) continue;
            GlShaderResourceView* view = views_[unit];
            GlSampler* sampler = slot < samplers_.size() ? samplers_[slot] : nullptr;
            bindings.TextureUnits.emplace_back(unit, view ? view->Texture().Name() : 0, sampler ? sampler->Name() : 0);
        }
        auto read = [this](uint32_t binding, uint32_t offset) {
            uint32_t value = 0;  // an unbound buffer reads as zeros
            GlBuffer* buffer = binding < constantBuffers_.size() ? constantBuffers_[binding] : nullptr;
            if (buffer && offset + 4 <= buffer->Shadow().size())
                std::memcpy(&value, buffer->Shadow().data() + offset, 4);
            return value;
        };
        auto size = [this](uint32_t unit, uint32_t level) -> std::optional<std::pair<uint32_t, uint32_t>> {
            GlShaderResourceView* view = unit < kSlots ? views_[unit] : nullptr;
            if (!view || level >= view->Texture().GetDesc().MipLevels) return std::nullopt;
            return std::pair{view->Texture().Width(level), view->Texture().Height(level)};
        };
        pixelProgram = variants->Select(read, size, bindings);
    }
    glUseProgramStages(runtime_.Pipeline, GL_VERTEX_SHADER_BIT, vertexShader_->Program());
    glUseProgramStages(runtime_.Pipeline, GL_FRAGMENT_SHADER_BIT, pixelProgram);
    glBindProgramPipeline(runtime_.Pipeline);
    for (size_t slot = 0; slot < constantBuffers_.size(); ++slot)
        glBindBufferBase(GL_UNIFORM_BUFFER, static_cast<GLuint>(slot),
                         constantBuffers_[slot] ? constantBuffers_[slot]->Name() : 0);
    for (const auto& [unit, slot] : pixelShader_->UnitSamplers()) {
        if (unit >= kSlots) continue;
        GlShaderResourceView* view = views_[unit];
        glBindTextureUnit(unit, view ? view->Texture().Name() : 0);
        GlSampler* sampler = slot < samplers_.size() ? samplers_[slot] : nullptr;
        glBindSampler(unit, sampler ? sampler->Name() : 0);
    }
    glBindVertexArray(runtime_.EmptyVertexArray);
    // Direct3D's rasterizer defaults: solid fill, triangles counter-clockwise on
    // screen culled. GL judges the winding in window coordinates with y upwards,
    // but memory row 0 is the picture's top row here, so a triangle clockwise on
    // screen is counter-clockwise to GL: GL's default front face keeps it.
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glFrontFace(GL_CCW);
    glDrawArrays(GL_TRIANGLES, static_cast<GLint>(startVertex), static_cast<GLsizei>(vertexCount));
}

void GlContext::ClearRenderTargetView(RenderTargetView& target, const float rgba[4]) {
    auto& t = As<GlRenderTargetView>(target, "ClearRenderTargetView");
    t.Texture().AwaitReadBacks();
    glClearNamedFramebufferfv(t.Framebuffer(), GL_COLOR, 0, rgba);
}

void GlContext::ClearState() {
    target_ = nullptr;
    viewport_ = {0, 0, 0, 0, 0, 1};
    vertexShader_ = nullptr;
    pixelShader_ = nullptr;
    constantBuffers_.fill(nullptr);
    views_.fill(nullptr);
    samplers_.fill(nullptr);
}

void GlContext::Forget(const void* object) {
    if (target_ == object) target_ = nullptr;
    if (vertexShader_ == object) vertexShader_ = nullptr;
    if (pixelShader_ == object) pixelShader_ = nullptr;
    for (auto& b : constantBuffers_)
        if (b == object) b = nullptr;
    for (auto& v : views_)
        if (v == object) v = nullptr;
    for (auto& s : samplers_)
        if (s == object) s = nullptr;
}

// The process's read-back thread, made on first use; none where the platform gives
// no second context (copies are then made at once).
WorkerContexts* ReadbackThread(Runtime& runtime) {
    if (!runtime.ReadbackTried) {
        runtime.ReadbackTried = true;
        auto workers = std::make_unique<WorkerContexts>(1);
        if (!workers->Empty()) runtime.Readback = std::move(workers);
    }
    return runtime.Readback.get();
}

void CopyLevel(GlTexture& destination, uint32_t dstLevel, uint32_t x, uint32_t y, GlTexture& source,
               uint32_t srcLevel, const char* what) {
    if (destination.GetDesc().Format != source.GetDesc().Format) Fail(what, "formats differ", E_INVALIDARG);
    uint32_t w = source.Width(srcLevel), h = source.Height(srcLevel);
    if (x + w > destination.Width(dstLevel) || y + h > destination.Height(dstLevel))
        Fail(what, "region outside the destination", E_INVALIDARG);
    const FormatInfo& f = source.Format();
    if (!destination.IsStaging()) destination.AwaitReadBacks();
    if (!source.IsStaging() && !destination.IsStaging()) {
        glCopyImageSubData(source.Name(), GL_TEXTURE_2D, static_cast<GLint>(srcLevel), 0, 0, 0, destination.Name(),
                           GL_TEXTURE_2D, static_cast<GLint>(dstLevel), static_cast<GLint>(x),
                           static_cast<GLint>(y), 0, static_cast<GLsizei>(w), static_cast<GLsizei>(h), 1);
    } else if (!source.IsStaging()) {
        uint32_t pitch = destination.Width(dstLevel);
        uint8_t* start = destination.Memory(dstLevel) + (size_t(y) * pitch + x) * f.Bytes;
        size_t available = destination.LevelBytes(dstLevel) - (size_t(y) * pitch + x) * f.Bytes;
        if (WorkerContexts* readback = ReadbackThread(source.GetRuntime())) {
            // On the read-back thread, once the draws so far are done; whatever
            // changes either texture, or reads the memory, waits for it.
            GLsync fence = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
            glFlush();
            auto job = std::make_shared<ReadBack>();
            GLuint name = source.Name();
            readback->Post([=] {
                while (glClientWaitSync(fence, 0, 1000000000) == GL_TIMEOUT_EXPIRED) {
                }
                glDeleteSync(fence);
                glPixelStorei(GL_PACK_ALIGNMENT, 1);
                glPixelStorei(GL_PACK_ROW_LENGTH, static_cast<GLint>(pitch));
                glGetTextureSubImage(name, static_cast<GLint>(srcLevel), 0, 0, 0, static_cast<GLsizei>(w),
                                     static_cast<GLsizei>(h), 1, f.External, f.Type, static_cast<GLsizei>(available),
                                     start);
                job->Finish();
            });
            source.SetReadBack(job);
            destination.SetReadBack(job);
            return;
        }
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glPixelStorei(GL_PACK_ROW_LENGTH, static_cast<GLint>(pitch));
        glGetTextureSubImage(source.Name(), static_cast<GLint>(srcLevel), 0, 0, 0, static_cast<GLsizei>(w),
                             static_cast<GLsizei>(h), 1, f.External, f.Type, static_cast<GLsizei>(available), start);
        glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    } else if (!destination.IsStaging()) {
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        glTextureSubImage2D(destination.Name(), static_cast<GLint>(dstLevel), static_cast<GLint>(x),
                            static_cast<GLint>(y), static_cast<GLsizei>(w), static_cast<GLsizei>(h), f.External,
                            f.Type, source.Memory(srcLevel));
    } else {
        uint32_t dstPitch = destination.Width(dstLevel) * f.Bytes;
        for (uint32_t row = 0; row < h; ++row)
            std::memcpy(destination.Memory(dstLevel) + size_t(y + row) * dstPitch + size_t(x) * f.Bytes,
                        source.Memory(srcLevel) + size_t(row) * w * f.Bytes, size_t(w) * f.Bytes);
    }
}

void GlContext::CopyResource(Texture2D& destination, Texture2D& source) {
    auto& d = As<GlTexture>(destination, "CopyResource");
    auto& s = As<GlTexture>(source, "CopyResource");
    Texture2DDesc dd = d.GetDesc(), sd = s.GetDesc();
    if (dd.Width != sd.Width || dd.Height != sd.Height || dd.MipLevels != sd.MipLevels)
        Fail("CopyResource", "the textures differ in size", E_INVALIDARG);
    for (uint32_t level = 0; level < sd.MipLevels; ++level) CopyLevel(d, level, 0, 0, s, level, "CopyResource");
}

void GlContext::CopySubresourceRegion(Texture2D& destination, uint32_t destinationSubresource, uint32_t x, uint32_t y,
                                      Texture2D& source, uint32_t sourceSubresource) {
    auto& d = As<GlTexture>(destination, "CopySubresourceRegion");
    auto& s = As<GlTexture>(source, "CopySubresourceRegion");
    d.CheckLevel(destinationSubresource, "CopySubresourceRegion");
    s.CheckLevel(sourceSubresource, "CopySubresourceRegion");
    CopyLevel(d, destinationSubresource, x, y, s, sourceSubresource, "CopySubresourceRegion");
}

void GlContext::UpdateSubresource(Texture2D& destination, uint32_t subresource, const void* data, uint32_t rowPitch) {
    auto& d = As<GlTexture>(destination, "UpdateSubresource");
    d.CheckLevel(subresource, "UpdateSubresource");
    const FormatInfo& f = d.Format();
    uint32_t w = d.Width(subresource), h = d.Height(subresource);
    if (rowPitch < w * f.Bytes || rowPitch % f.Bytes != 0) Fail("UpdateSubresource", "row pitch", E_INVALIDARG);
    d.AwaitReadBacks();
    if (d.IsStaging()) {
        for (uint32_t row = 0; row < h; ++row)
            std::memcpy(d.Memory(subresource) + size_t(row) * w * f.Bytes,
                        static_cast<const uint8_t*>(data) + size_t(row) * rowPitch, size_t(w) * f.Bytes);
        return;
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(rowPitch / f.Bytes));
    glTextureSubImage2D(d.Name(), static_cast<GLint>(subresource), 0, 0, static_cast<GLsizei>(w),
                        static_cast<GLsizei>(h), f.External, f.Type, data);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}

void GlContext::GenerateMips(ShaderResourceView& view) {
    auto& v = As<GlShaderResourceView>(view, "GenerateMips");
    v.Texture().AwaitReadBacks();
    glGenerateTextureMipmap(v.Texture().Name());
}

Runtime::~Runtime() {
    Immediate.reset();
    Readback.reset();
    if (Context) {
        SDL_GL_MakeCurrent(Hidden, Context);
        if (Pipeline) glDeleteProgramPipelines(1, &Pipeline);
        if (EmptyVertexArray) glDeleteVertexArrays(1, &EmptyVertexArray);
        SDL_GL_MakeCurrent(nullptr, nullptr);
        SDL_GL_DeleteContext(Context);
    }
    if (Hidden) SDL_DestroyWindow(Hidden);
}

// --- device ---

class GlDevice : public Device {
public:
    explicit GlDevice(std::shared_ptr<Runtime> runtime)
        : runtime_(std::move(runtime)), immediate_(runtime_, runtime_->Immediate.get()) {}

    std::shared_ptr<Texture2D> CreateTexture2D(const Texture2DDesc& desc) override {
        return std::make_shared<GlTexture>(runtime_, desc);
    }
    std::shared_ptr<Buffer> CreateConstantBuffer(uint32_t byteWidth) override {
        if (byteWidth == 0 || byteWidth % 16 != 0) Fail("CreateBuffer", "size not a multiple of 16", E_INVALIDARG);
        return std::make_shared<GlBuffer>(runtime_, byteWidth);
    }
    std::shared_ptr<RenderTargetView> CreateRenderTargetView(const std::shared_ptr<Texture2D>& texture) override {
        return std::make_shared<GlRenderTargetView>(runtime_, Texture(texture, "CreateRenderTargetView"));
    }
    std::shared_ptr<ShaderResourceView> CreateShaderResourceView(const std::shared_ptr<Texture2D>& texture) override {
        return std::make_shared<GlShaderResourceView>(runtime_, Texture(texture, "CreateShaderResourceView"));
    }
    std::shared_ptr<SamplerState> CreateSamplerState(const SamplerDesc& desc) override {
        return std::make_shared<GlSampler>(runtime_, desc);
    }
    std::shared_ptr<VertexShader> CreateVertexShader(std::span<const uint8_t> bytecode) override {
        return std::make_shared<GlVertexShader>(runtime_, bytecode);
    }
    std::shared_ptr<PixelShader> CreatePixelShader(std::span<const uint8_t> bytecode) override {
        return std::make_shared<GlPixelShader>(runtime_, bytecode);
    }
    uint32_t MaxTextureDimension() const override {
        GLint size = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &size);
        return static_cast<uint32_t>(std::clamp(size, 1, 16384));
    }
    std::shared_ptr<DeviceContext> ImmediateContext() override { return immediate_; }

    const std::shared_ptr<Runtime>& GetRuntime() const { return runtime_; }

private:
    static std::shared_ptr<GlTexture> Texture(const std::shared_ptr<Texture2D>& texture, const char* what) {
        auto t = std::dynamic_pointer_cast<GlTexture>(texture);
        if (!t) Fail(what, "no texture of this device", E_INVALIDARG);
        return t;
    }
    std::shared_ptr<Runtime> runtime_;
    std::shared_ptr<DeviceContext> immediate_;  // shares the runtime's lifetime
};


std::shared_ptr<Runtime> AcquireRuntime() {
    if (auto existing = gRuntime.lock()) return existing;
    if (!SDL_WasInit(SDL_INIT_VIDEO) && SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
        Fail("D3D11CreateDevice", std::string("no video subsystem: ") + SDL_GetError());
    SetContextAttributes();
    auto runtime = std::make_shared<Runtime>();
    runtime->Hidden = SDL_CreateWindow("gpu", 0, 0, 16, 16, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
    if (!runtime->Hidden) Fail("D3D11CreateDevice", std::string("no GL window: ") + SDL_GetError());
    runtime->Context = SDL_GL_CreateContext(runtime->Hidden);
    if (!runtime->Context) Fail("D3D11CreateDevice", std::string("no OpenGL 4.5 context: ") + SDL_GetError());
    SDL_GL_MakeCurrent(runtime->Hidden, runtime->Context);
    if (epoxy_gl_version() < 45) Fail("D3D11CreateDevice", "OpenGL 4.5 is required");
    // Anisotropic filtering where the GPU does it; Mesa's software rasterizers do it
    // as an elliptical average that costs several times a trilinear frame and also
    // blurs texel centres, so there it is trilinear.
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    std::string rendererName = renderer ? renderer : "";
    bool software = rendererName.find("llvmpipe") != std::string::npos ||
                    rendererName.find("softpipe") != std::string::npos;
    runtime->Anisotropy = !software && (epoxy_has_gl_extension("GL_EXT_texture_filter_anisotropic") ||
                                        epoxy_has_gl_extension("GL_ARB_texture_filter_anisotropic"));
    glCreateProgramPipelines(1, &runtime->Pipeline);
    glCreateVertexArrays(1, &runtime->EmptyVertexArray);
    glDisable(GL_FRAMEBUFFER_SRGB);
    glDisable(GL_DITHER);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    runtime->Immediate = std::make_unique<GlContext>(*runtime);
    gRuntime = runtime;
    return runtime;
}

// --- swap chain ---

class GlSwapChain : public SwapChain {
public:
    GlSwapChain(GlDevice& device, SDL_Window* window, uint32_t width, uint32_t height)
        : device_(device), runtime_(device.GetRuntime()), window_(window) {
        if (SDL_GL_MakeCurrent(window_, runtime_->Context) != 0) {
            std::string reason = SDL_GetError();
            if (!WindowDestroyedElsewhere(window_))
                Fail("CreateSwapChainForHwnd", "the window takes no GL context: " + reason);
            // Destroyed by another program before its first frame: the host ends at
            // its next pump as after a close; until then nothing is presented.
            SDL_GL_MakeCurrent(runtime_->Hidden, runtime_->Context);
            windowGone_ = true;
        }
        glCreateFramebuffers(1, &readFramebuffer_);
        MakeBuffer(width, height);
    }
    ~GlSwapChain() override {
        glDeleteFramebuffers(1, &readFramebuffer_);
        buffer_.reset();
        SDL_GL_MakeCurrent(runtime_->Hidden, runtime_->Context);
    }
    std::shared_ptr<Texture2D> GetBuffer(uint32_t index) override {
        if (index != 0) Fail("GetBuffer", "only buffer 0 is accessible", E_INVALIDARG);
        return buffer_;
    }
    void ResizeBuffers(uint32_t bufferCount, uint32_t width, uint32_t height, PixelFormat format) override {
        (void)bufferCount;
        if (format != PixelFormat::B8G8R8A8_UNORM && format != PixelFormat::Unknown)
            Fail("ResizeBuffers", "unsupported format", E_INVALIDARG);
        if (buffer_.use_count() > 1) Fail("ResizeBuffers", "a view of a buffer is still alive", E_INVALIDARG);
        MakeBuffer(width, height);
    }
    int32_t Present(uint32_t syncInterval) override {
        if (windowGone_) return 0;
        if (syncInterval != interval_) {
            SDL_GL_SetSwapInterval(static_cast<int>(syncInterval));
            interval_ = syncInterval;
        }
        int dw = 0, dh = 0;
        SDL_GL_GetDrawableSize(window_, &dw, &dh);
        GLint w = static_cast<GLint>(width_), h = static_cast<GLint>(height_);
        ClearErrors();
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
        // Memory row 0 is the top row: flip it to the window's bottom-up rows;
        // a buffer of another size than the window is stretched.
        glBlitNamedFramebuffer(readFramebuffer_, 0, 0, 0, w, h, 0, dh, dw, 0, GL_COLOR_BUFFER_BIT,
                               (dw == w && dh == h) ? GL_NEAREST : GL_LINEAR);
        SDL_GL_SwapWindow(window_);
        return glGetError() == GL_NO_ERROR ? 0 : E_FAIL;
    }

private:
    void MakeBuffer(uint32_t width, uint32_t height) {
        Texture2DDesc desc;
        desc.Width = width;
        desc.Height = height;
        desc.BindFlags = BindRenderTarget | BindShaderResource;
        buffer_ = std::make_shared<GlTexture>(runtime_, desc);
        glNamedFramebufferTexture(readFramebuffer_, GL_COLOR_ATTACHMENT0, buffer_->Name(), 0);
        width_ = width;
        height_ = height;
    }
    GlDevice& device_;
    std::shared_ptr<Runtime> runtime_;
    SDL_Window* window_;
    std::shared_ptr<GlTexture> buffer_;
    GLuint readFramebuffer_ = 0;
    uint32_t width_ = 0, height_ = 0;
    uint32_t interval_ = ~0u;
    bool windowGone_ = false;
};

}  // namespace

// The pixel format and context every GL window of the program is made with.
void SetContextAttributes() {
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 4);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 5);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 0);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 0);
}

// Every device of the process shares one GL context and its immediate context.
std::shared_ptr<Device> CreateDevice() { return std::make_shared<GlDevice>(AcquireRuntime()); }

std::shared_ptr<SwapChain> CreateSwapChainForWindow(Device& device, NativeWindow window, uint32_t width,
                                                    uint32_t height) {
    auto& d = As<GlDevice>(device, "CreateSwapChainForHwnd");
    if (window == 0) Fail("CreateSwapChainForHwnd", "no window", E_INVALIDARG);
    return std::make_shared<GlSwapChain>(d, reinterpret_cast<SDL_Window*>(window), width, height);
}

}  // namespace velk::gpu
