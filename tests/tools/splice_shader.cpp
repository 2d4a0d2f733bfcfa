// Writes the demo shader with its settings spliced in, as the shader loader
// compiles it. Usage: splice_shader SHADER SETTINGS OUTPUT
#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

#include "render/shader_settings.h"

static bool ReadFile(const char* path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: splice_shader SHADER SETTINGS OUTPUT\n");
        return 2;
    }
    std::string shader, settings;
    if (!ReadFile(argv[1], shader) || !ReadFile(argv[2], settings)) {
        std::fprintf(stderr, "splice_shader: can't read the input files\n");
        return 1;
    }
    try {
        std::string spliced = velk::ShaderSettings::Apply(shader, settings);
        std::ofstream out(argv[3], std::ios::binary);
        out << spliced;
        if (!out.flush()) {
            std::fprintf(stderr, "splice_shader: can't write %s\n", argv[3]);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo.hlsl.json: %s\n", e.what());
        return 1;
    }
    return 0;
}
