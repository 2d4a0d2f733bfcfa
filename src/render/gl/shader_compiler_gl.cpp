// HLSL compiler of the OpenGL layer: glslang (HLSL to SPIR-V, with the HLSL
// legalisation of SPIRV-Tools) and SPIRV-Cross (SPIR-V to GLSL 4.50).
//
// What it maps of the platform compiler:
// - one entry point of one HLSL text, profiles "vs_5_0" and "ps_5_0", no macros, no
//   include handler;
// - messages as "<source name>(<line>): error: <text>", naming the source name given
//   and the line of the original text; a missing entry point is an error;
// - registers: t<n> and s<n> keep their numbers (texture unit n; the sampler bound
//   at slot s<n> is applied to every texture unit sampled through it), b<n> is
//   uniform-buffer binding n;
// - `fmod` and `%` keep the sign of the dividend, as on Direct3D (glslang lowers
//   both to floor-modulo);
// - vertex stage: clip-space y is flipped and depth mapped from [0, 1] to [-1, 1],
//   so that drawing into a framebuffer whose memory row 0 is the picture's top row
//   gives Direct3D's orientation (see gpu_gl.cpp);
// - pixel stage: the branches on constant-buffer values are specialised (see
//   spirv_specialize_gl.h); the environment variable VELK_GL_SPECIALIZE=0 turns
//   this off, so that the shader is compiled as it is (for comparisons).
// What it does not do: geometry, hull, domain or compute profiles, class linkage,
// reflection.
//
// The "bytecode" is a small text: a header line, the specialisation's lines
// ("condition", "computed" and "variant" lines, see spirv_specialize_gl.h), one
// "sampler <unit> <slot>" line per texture unit the shader samples, an empty line,
// then the GLSL source.
#define ENABLE_HLSL 1
#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/SPIRV/GlslangToSpv.h>
#include <spirv_cross/spirv_cross_c.h>

#include <cctype>
#include <cstdlib>
#include <charconv>
#include <map>
#include <mutex>
#include <sstream>

#include "host/errors.h"
#include "render/gpu.h"
#include "render/gl/shader_compiler_gl.h"
#include "render/gl/spirv_specialize_gl.h"

namespace velk::gpu {

namespace {

constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);

// HLSL's fmod is x - y * trunc(x / y). Defined before the source (the preamble does
// not count in line numbers) so that constant folding follows it too.
constexpr const char* kPreamble = "#define fmod(x, y) ((x) - (y) * trunc((x) / (y)))\n";

// Programs per pixel shader at most: each is compiled by the driver.
constexpr size_t kMaxVariants = 20;

void InitializeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { glslang::InitializeProcess(); });
}

// Turns glslang's "ERROR: name:12: text" lines into "name(12): error: text"; keeps
// other lines that carry a message, drops the summary lines.
std::string FormatLog(const std::string& log, const std::string& sourceName) {
    std::istringstream in(log);
    std::string line, out;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string kind;
        std::string rest;
        if (line.rfind("ERROR: ", 0) == 0) {
            kind = "error";
            rest = line.substr(7);
        } else if (line.rfind("WARNING: ", 0) == 0) {
            kind = "warning";
            rest = line.substr(9);
        } else {
            continue;
        }
        if (rest.find("compilation errors.  No code generated.") != std::string::npos ||
            rest.find("compilation errors. No code generated.") != std::string::npos)
            continue;
        // "<name>:<line>: <text>". The name is normally the source name given, which
        // may itself hold ":<digits>: " (a folder "odd:12: dir"), so the line number is
        // looked for after it; other names end at the first ":<digits>: ".
        size_t from = 0;
        if (!sourceName.empty() && rest.compare(0, sourceName.size(), sourceName) == 0 &&
            rest.size() > sourceName.size() && rest[sourceName.size()] == ':')
            from = sourceName.size();
        bool placed = false;
        for (size_t colon = rest.find(':', from); colon != std::string::npos; colon = rest.find(':', colon + 1)) {
            size_t digits = colon + 1;
            size_t end = digits;
            while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') ++end;
            if (end == digits || end + 1 >= rest.size() || rest[end] != ':' || rest[end + 1] != ' ') continue;
            std::string name = rest.substr(0, colon);
            std::string lineNumber = rest.substr(digits, end - digits);
            std::string text = rest.substr(end + 2);
            while (!text.empty() && text.back() == ' ') text.pop_back();
            // glslang numbers the preamble as string 0 when names are not used.
            if (name.empty() || name == "0") name = sourceName;
            out += name + "(" + lineNumber + "): " + kind + ": " + text + "\n";
            placed = true;
            break;
        }
        if (!placed) out += sourceName + ": " + kind + ": " + rest + "\n";
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

struct SpvcContext {
    spvc_context context = nullptr;
    ~SpvcContext() {
        if (context) spvc_context_destroy(context);
    }
};

// HLSL's % is the truncating remainder (the sign of the dividend), which glslang
// lowers to floor-modulo: OpFMod -> OpFRem, OpSMod -> OpSRem.
void KeepTruncatingRemainder(std::vector<uint32_t>& spirv) {
    for (size_t i = 5; i < spirv.size();) {
        uint32_t word = spirv[i];
        uint32_t count = word >> 16;
        uint32_t opcode = word & 0xffff;
        if (opcode == 141) spirv[i] = (count << 16) | 140;
        if (opcode == 139) spirv[i] = (count << 16) | 138;
        if (count == 0) break;
        i += count;
    }
}

void SetGlslOptions(spvc_compiler compiler, EShLanguage stage) {
    spvc_compiler_options crossOptions = nullptr;
    spvc_compiler_create_compiler_options(compiler, &crossOptions);
    spvc_compiler_options_set_uint(crossOptions, SPVC_COMPILER_OPTION_GLSL_VERSION, 450);
    spvc_compiler_options_set_bool(crossOptions, SPVC_COMPILER_OPTION_GLSL_ES, SPVC_FALSE);
    spvc_compiler_options_set_bool(crossOptions, SPVC_COMPILER_OPTION_GLSL_VULKAN_SEMANTICS, SPVC_FALSE);
    spvc_compiler_options_set_bool(crossOptions, SPVC_COMPILER_OPTION_GLSL_SEPARATE_SHADER_OBJECTS, SPVC_TRUE);
    if (stage == EShLangVertex) {
        spvc_compiler_options_set_bool(crossOptions, SPVC_COMPILER_OPTION_FLIP_VERTEX_Y, SPVC_TRUE);
        spvc_compiler_options_set_bool(crossOptions, SPVC_COMPILER_OPTION_FIXUP_DEPTH_CONVENTION, SPVC_TRUE);
    }
    spvc_compiler_install_compiler_options(compiler, crossOptions);
}

// Names each combined image sampler after its texture unit and binds it there;
// adds a "sampler <unit> <slot>" header line per uniform that stays. Returns the
// dummy-sampler uniforms of textures that are also sampled, each with the sampled
// uniform that takes its place.
std::vector<std::pair<std::string, std::string>> BindCombinedSamplers(spvc_compiler compiler, spvc_variable_id dummy,
                                                                      std::string& header) {
    const spvc_combined_image_sampler* combined = nullptr;
    size_t combinedCount = 0;
    spvc_compiler_get_combined_image_samplers(compiler, &combined, &combinedCount);
    std::map<uint32_t, std::string> sampledName;  // texture unit -> its first sampled uniform
    for (size_t i = 0; i < combinedCount; ++i) {
        uint32_t unit = spvc_compiler_get_decoration(compiler, combined[i].image_id, SpvDecorationBinding);
        if (combined[i].sampler_id != dummy && !sampledName.count(unit))
            sampledName[unit] = "VelkT" + std::to_string(unit) + "S" + std::to_string(i);
    }
    std::vector<std::pair<std::string, std::string>> folded;  // dummy uniform -> sampled uniform
    for (size_t i = 0; i < combinedCount; ++i) {
        uint32_t unit = spvc_compiler_get_decoration(compiler, combined[i].image_id, SpvDecorationBinding);
        std::string uniformName = "VelkT" + std::to_string(unit) + "S" + std::to_string(i);
        spvc_compiler_set_name(compiler, combined[i].combined_id, uniformName.c_str());
        spvc_compiler_set_decoration(compiler, combined[i].combined_id, SpvDecorationBinding, unit);
        if (combined[i].sampler_id == dummy && sampledName.count(unit)) {
            folded.emplace_back(uniformName, sampledName[unit]);
            continue;
        }
        uint32_t slot = 0;
        if (combined[i].sampler_id != dummy)
            slot = spvc_compiler_get_decoration(compiler, combined[i].sampler_id, SpvDecorationBinding);
        header += "sampler " + std::to_string(unit) + " " + std::to_string(slot) + "\n";
    }
    return folded;
}

// Drops each folded uniform's declaration, then uses the sampled uniform wherever
// it stood. The names end in a digit and are whole identifiers.
std::string FoldDummySamplers(std::string generated, const std::vector<std::pair<std::string, std::string>>& folded) {
    for (const auto& [from, to] : folded) {
        std::string out;
        std::istringstream lines(generated);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find("uniform") != std::string::npos && line.find(" " + from + ";") != std::string::npos)
                continue;
            out += line + "\n";
        }
        generated.clear();
        for (size_t at = 0;;) {
            size_t found = out.find(from, at);
            bool whole = found != std::string::npos &&
                         (found + from.size() == out.size() ||
                          !(std::isalnum(static_cast<unsigned char>(out[found + from.size()])) || out[found + from.size()] == '_'));
            if (found == std::string::npos) {
                generated += out.substr(at);
                break;
            }
            generated += out.substr(at, found - at);
            generated += whole ? to : from;
            at = found + from.size();
        }
    }
    return generated;
}

CompileResult Failed(std::string errors) {
    CompileResult result;
    result.Result = E_FAIL;
    result.Errors = std::move(errors);
    return result;
}

// GLSL 4.50 from the module through SPIRV-Cross, after the header.
CompileResult SpirvToGlsl(const std::vector<uint32_t>& spirv, EShLanguage stage, const Specialization& specialization,
                          const std::string& sourceName) {
    SpvcContext holder;
    spvc_context context = nullptr;
    auto fail = [&](const char* what) {
        std::string detail = context ? spvc_context_get_last_error_string(context) : "";
        return Failed(sourceName + ": error: " + what + (detail.empty() ? "" : ": " + detail) + "");
    };
    if (spvc_context_create(&context) != SPVC_SUCCESS) return fail("SPIRV-Cross context");
    holder.context = context;
    spvc_parsed_ir ir = nullptr;
    if (spvc_context_parse_spirv(context, spirv.data(), spirv.size(), &ir) != SPVC_SUCCESS)
        return fail("SPIR-V parse");
    spvc_compiler compiler = nullptr;
    if (spvc_context_create_compiler(context, SPVC_BACKEND_GLSL, ir, SPVC_CAPTURE_MODE_TAKE_OWNERSHIP, &compiler) !=
        SPVC_SUCCESS)
        return fail("SPIRV-Cross compiler");
    SetGlslOptions(compiler, stage);

    // Every texture read without a sampler (GetDimensions, Load) gets a combined
    // sampler of its own with the dummy sampler. A texture that is also sampled
    // then takes two sampler uniforms, which with twenty textures passes the
    // driver's limit of sampler uniforms per stage; such a texture's dummy uniform
    // is folded into its sampled one after generation (a size query ignores the
    // sampler), so that each texture unit has one uniform.
    spvc_variable_id dummy = 0;
    spvc_compiler_build_dummy_sampler_for_combined_images(compiler, &dummy);
    if (spvc_compiler_build_combined_image_samplers(compiler) != SPVC_SUCCESS) return fail("combined samplers");
    std::string header = "VELKGLSL1\n";
    header += specialization.Write();
    const std::vector<std::pair<std::string, std::string>> folded = BindCombinedSamplers(compiler, dummy, header);
    const char* glsl = nullptr;
    if (spvc_compiler_compile(compiler, &glsl) != SPVC_SUCCESS || !glsl) return fail("GLSL generation");
    std::string code = header + "\n" + FoldDummySamplers(glsl, folded);
    CompileResult result;
    result.Code.assign(code.begin(), code.end());
    result.Result = 0;
    return result;
}

}  // namespace

std::optional<std::vector<uint32_t>> CompileHlslToSpirv(const std::string& source, const std::string& sourceName,
                                                        const std::string& entryPoint, const std::string& profile,
                                                        std::string& errors) {
    InitializeOnce();
    EShLanguage stage;
    if (profile == "vs_5_0")
        stage = EShLangVertex;
    else if (profile == "ps_5_0")
        stage = EShLangFragment;
    else {
        errors = sourceName + ": error: unsupported profile " + profile;
        return std::nullopt;
    }

    glslang::TShader shader(stage);
    const char* text = source.c_str();
    const int length = static_cast<int>(source.size());
    const char* name = sourceName.c_str();
    shader.setStringsWithLengthsAndNames(&text, &length, &name, 1);
    shader.setPreamble(kPreamble);
    shader.setEntryPoint(entryPoint.c_str());
    shader.setSourceEntryPoint(entryPoint.c_str());
    shader.setEnvInput(glslang::EShSourceHlsl, stage, glslang::EShClientVulkan, 100);
    shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_0);
    shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_0);
    shader.setHlslIoMapping(true);
    const auto messages =
        static_cast<EShMessages>(EShMsgSpvRules | EShMsgVulkanRules | EShMsgReadHlsl | EShMsgHlslOffsets | EShMsgEnhanced);

    if (!shader.parse(GetDefaultResources(), 100, false, messages)) {
        errors = FormatLog(shader.getInfoLog(), sourceName);
        return std::nullopt;
    }
    glslang::TProgram program;
    program.addShader(&shader);
    if (!program.link(messages) || !program.mapIO()) {
        errors = FormatLog(std::string(shader.getInfoLog()) + program.getInfoLog(), sourceName);
        return std::nullopt;
    }
    glslang::TIntermediate* intermediate = program.getIntermediate(stage);
    if (!intermediate || intermediate->getNumEntryPoints() == 0) {
        errors = sourceName + ": error: entry point '" + entryPoint + "' not found";
        return std::nullopt;
    }

    std::vector<uint32_t> spirv;
    spv::SpvBuildLogger logger;
    glslang::SpvOptions options;
    options.disableOptimizer = false;  // runs the HLSL legalisation
    glslang::GlslangToSpv(*intermediate, spirv, &logger, &options);
    if (spirv.size() < 5) {
        errors = sourceName + ": error: SPIR-V generation failed: " + logger.getAllMessages() + "";
        return std::nullopt;
    }
    KeepTruncatingRemainder(spirv);
    return spirv;
}

CompileResult Compile(const std::string& source, const std::string& sourceName, const std::string& entryPoint,
                      const std::string& profile) {
    std::string errors;
    std::optional<std::vector<uint32_t>> spirv = CompileHlslToSpirv(source, sourceName, entryPoint, profile, errors);
    if (!spirv) return Failed(errors);
    const EShLanguage stage = profile == "ps_5_0" ? EShLangFragment : EShLangVertex;

    // A pixel shader's branches on constant-buffer values become specialisation
    // constants: the GPU layer compiles a program per combination and draws the one
    // that matches the buffer (see spirv_specialize_gl.h). VELK_GL_SPECIALIZE=0
    // compiles the shader as it is.
    Specialization specialization;
    const char* specialize = std::getenv("VELK_GL_SPECIALIZE");
    if (stage == EShLangFragment && !(specialize && std::string(specialize) == "0"))
        specialization = SpecializeUniformConditions(*spirv, kMaxVariants);
    return SpirvToGlsl(*spirv, stage, specialization, sourceName);
}

}  // namespace velk::gpu
