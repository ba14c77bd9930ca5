// OpenGL backend: shader byte code is GLSL source, compiled to one separable program per
// stage, with its uniform blocks and sampler uniforms bound to Direct3D slots by the rules in
// gl_device.cpp.
#include "platform/d3d11/gl_internal.h"

#include <string>
#include <vector>

namespace tallow::d3d11::gl {
namespace {

/// Sampler uniforms and uniform blocks in the order the source declares them.
struct Declarations {
    std::vector<std::string> samplers;
    std::vector<std::string> blocks;
};

bool ident_char(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

Declarations scan_declarations(const std::string &source)
{
    // Tokens outside comments; good enough for declarations at global scope.
    std::vector<std::string> tokens;
    for (size_t i = 0; i < source.size();) {
        char c = source[i];
        if (c == '/' && i + 1 < source.size() && source[i + 1] == '/') {
            while (i < source.size() && source[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < source.size() && source[i + 1] == '*') {
            size_t end = source.find("*/", i + 2);
            i = end == std::string::npos ? source.size() : end + 2;
        } else if (ident_char(c)) {
            size_t start = i;
            while (i < source.size() && ident_char(source[i])) ++i;
            tokens.push_back(source.substr(start, i - start));
        } else {
            if (c == '{' || c == ';') tokens.push_back(std::string(1, c));
            ++i;
        }
    }
    static const char *const precisions[] = {"lowp", "mediump", "highp"};
    Declarations out;
    for (size_t i = 0; i + 2 < tokens.size(); ++i) {
        if (tokens[i] != "uniform") continue;
        size_t j = i + 1;
        for (const char *p : precisions)
            if (j < tokens.size() && tokens[j] == p) ++j;
        if (j + 1 >= tokens.size()) break;
        const std::string &type = tokens[j];
        if (type.find("sampler") != std::string::npos) out.samplers.push_back(tokens[j + 1]);
        else if (tokens[j + 1] == "{") out.blocks.push_back(type);
    }
    return out;
}

GLenum sampler_target(GLenum type)
{
    switch (type) {
    case GL_SAMPLER_2D_ARRAY:
    case GL_SAMPLER_2D_ARRAY_SHADOW:
    case GL_INT_SAMPLER_2D_ARRAY:
    case GL_UNSIGNED_INT_SAMPLER_2D_ARRAY: return GL_TEXTURE_2D_ARRAY;
    case GL_SAMPLER_CUBE:
    case GL_SAMPLER_CUBE_SHADOW: return GL_TEXTURE_CUBE_MAP;
    case GL_SAMPLER_CUBE_MAP_ARRAY:
    case GL_SAMPLER_CUBE_MAP_ARRAY_SHADOW: return GL_TEXTURE_CUBE_MAP_ARRAY;
    case GL_SAMPLER_2D_MULTISAMPLE: return GL_TEXTURE_2D_MULTISAMPLE;
    case GL_SAMPLER_BUFFER: return GL_TEXTURE_BUFFER;
    default: return GL_TEXTURE_2D;
    }
}

const char *stage_name(StageIndex stage)
{
    static const char *const names[] = {"vertex", "hull", "domain", "geometry", "pixel", "compute"};
    return names[stage];
}

} // namespace

/// Compiles and links one stage; fills the slot tables. Failures are logged, never fatal.
bool build_shader(GlShaderBase &shader, StageIndex stage, const void *bytecode, SIZE_T length)
{
    static const GLenum kinds[] = {GL_VERTEX_SHADER, GL_TESS_CONTROL_SHADER, GL_TESS_EVALUATION_SHADER,
                                   GL_GEOMETRY_SHADER, GL_FRAGMENT_SHADER, GL_COMPUTE_SHADER};
    if (!bytecode || length == 0) return false; // refused by the front
    std::string source(static_cast<const char *>(bytecode), static_cast<size_t>(length));
    while (!source.empty() && source.back() == '\0') source.pop_back();
    const char *text = source.c_str();
    GLuint program = glCreateShaderProgramv(kinds[stage], 1, &text);
    GLint linked = 0;
    if (program) glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (!linked) {
        char info[2048] = "";
        if (program) glGetProgramInfoLog(program, sizeof info, nullptr, info);
        for (char *c = info; *c; ++c)
            if (*c == '\n') *c = ' ';
        log_error("%s shader failed to compile: %s", stage_name(stage), info);
        if (program) glDeleteProgram(program);
        return false;
    }
    shader.program = program;
    shader.stage = stage;
    const Declarations declared = scan_declarations(source);

    GLint block_count = 0;
    glGetProgramiv(program, GL_ACTIVE_UNIFORM_BLOCKS, &block_count);
    shader.block_slots.assign(static_cast<size_t>(block_count), 0);
    for (GLint b = 0; b < block_count; ++b) {
        char name[256] = "";
        glGetActiveUniformBlockName(program, b, sizeof name, nullptr, name);
        GLint binding = 0;
        glGetActiveUniformBlockiv(program, b, GL_UNIFORM_BLOCK_BINDING, &binding);
        u32 slot = static_cast<u32>(binding);
        if (binding == 0)
            for (size_t k = 0; k < declared.blocks.size(); ++k)
                if (declared.blocks[k] == name) slot = static_cast<u32>(k);
        if (slot >= D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT) slot = 0;
        shader.block_slots[b] = slot;
        glUniformBlockBinding(program, b, stage * D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT + slot);
    }

    GLint uniform_count = 0;
    glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &uniform_count);
    for (GLint u = 0; u < uniform_count; ++u) {
        char name[256] = "";
        GLint size = 0;
        GLenum type = 0;
        glGetActiveUniform(program, u, sizeof name, nullptr, &size, &type, name);
        GLint location = glGetUniformLocation(program, name);
        if (location < 0) continue;
        GLenum target = sampler_target(type);
        bool is_sampler = false;
        switch (type) {
        case GL_SAMPLER_2D: case GL_SAMPLER_2D_SHADOW: case GL_SAMPLER_2D_ARRAY: case GL_SAMPLER_2D_ARRAY_SHADOW:
        case GL_SAMPLER_CUBE: case GL_SAMPLER_CUBE_SHADOW: case GL_SAMPLER_CUBE_MAP_ARRAY:
        case GL_SAMPLER_CUBE_MAP_ARRAY_SHADOW: case GL_SAMPLER_2D_MULTISAMPLE: case GL_SAMPLER_BUFFER:
        case GL_INT_SAMPLER_2D: case GL_UNSIGNED_INT_SAMPLER_2D: case GL_INT_SAMPLER_2D_ARRAY:
        case GL_UNSIGNED_INT_SAMPLER_2D_ARRAY: is_sampler = true; break;
        default: break;
        }
        if (!is_sampler) continue;
        GLint binding = 0;
        glGetUniformiv(program, location, &binding);
        u32 slot = static_cast<u32>(binding);
        if (binding == 0)
            for (size_t k = 0; k < declared.samplers.size(); ++k)
                if (declared.samplers[k] == name) slot = static_cast<u32>(k);
        if (slot >= units_per_stage) {
            log_error("%s shader sampler '%s' takes slot %u; the OpenGL backend binds at most %u", stage_name(stage),
                      name, slot, units_per_stage);
            continue;
        }
        glProgramUniform1i(program, location, static_cast<GLint>(stage * units_per_stage + slot));
        shader.sampler_slots.push_back(slot);
        shader.sampler_targets.push_back(target);
    }
    return true;
}

} // namespace tallow::d3d11::gl
