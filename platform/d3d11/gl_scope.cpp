// OpenGL backend: the EGL context set (one root context without a display server, one shared
// context per calling thread), the GL lock and the backend's log line.
#include "platform/d3d11/gl_internal.h"

#include "foundation/log.h"

#include <epoxy/egl.h>

#include <cstdarg>
#include <cstdio>

namespace tallow::d3d11::gl {
namespace {

struct EglState {
    std::recursive_mutex mutex;
    bool tried = false;
    bool ok = false;
    std::string reason;
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext root = EGL_NO_CONTEXT;
    GlLimits limits;
};

EglState &egl()
{
    static EglState *state = new EglState; // lives to the end of the process
    return *state;
}

thread_local EGLContext thread_context = EGL_NO_CONTEXT;

EGLContext make_context(EGLDisplay display, EGLContext share)
{
    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
    return eglCreateContext(display, EGL_NO_CONFIG_KHR, share, attributes);
}

bool initialise_locked(EglState &s)
{
    if (s.tried) return s.ok;
    s.tried = true;
    if (!epoxy_has_egl()) {
        s.reason = "no EGL library";
        return false;
    }
    if (!epoxy_has_egl_extension(EGL_NO_DISPLAY, "EGL_MESA_platform_surfaceless")) {
        s.reason = "EGL has no surfaceless platform";
        return false;
    }
    s.display = eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    EGLint major = 0, minor = 0;
    if (s.display == EGL_NO_DISPLAY || !eglInitialize(s.display, &major, &minor)) {
        s.reason = "the surfaceless EGL display does not initialise";
        return false;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        s.reason = "EGL cannot bind the OpenGL API";
        return false;
    }
    s.root = make_context(s.display, EGL_NO_CONTEXT);
    if (s.root == EGL_NO_CONTEXT) {
        char text[96];
        std::snprintf(text, sizeof text, "no OpenGL 4.5 core context (EGL error 0x%x)", eglGetError());
        s.reason = text;
        return false;
    }
    if (!eglMakeCurrent(s.display, EGL_NO_SURFACE, EGL_NO_SURFACE, s.root) || epoxy_gl_version() < 45) {
        s.reason = "the OpenGL context is older than 4.5";
        return false;
    }
    thread_context = s.root;
    glGetIntegerv(GL_UNIFORM_BUFFER_OFFSET_ALIGNMENT, &s.limits.uniform_buffer_offset_alignment);
    log_message("d3d11", "OpenGL backend: %s, %s", reinterpret_cast<const char *>(glGetString(GL_RENDERER)),
                reinterpret_cast<const char *>(glGetString(GL_VERSION)));
    s.ok = true;
    return true;
}

} // namespace

bool initialise(std::string *out_reason)
{
    EglState &s = egl();
    std::lock_guard lock(s.mutex);
    bool ok = initialise_locked(s);
    if (!ok && out_reason) *out_reason = s.reason;
    return ok;
}

const GlLimits &limits() { return egl().limits; }

namespace {
const void *drawing_context = nullptr; // guarded by the GL lock
} // namespace

GlScope::GlScope(bool publish) : lock(egl().mutex), publish(publish)
{
    EglState &s = egl();
    if (thread_context == EGL_NO_CONTEXT) {
        eglBindAPI(EGL_OPENGL_API); // the bound API is per thread
        thread_context = make_context(s.display, s.root);
        if (thread_context == EGL_NO_CONTEXT || !eglMakeCurrent(s.display, EGL_NO_SURFACE, EGL_NO_SURFACE, thread_context))
            log_error("no OpenGL context for this thread (EGL error 0x%x)", eglGetError());
    }
    key = thread_context;
}

GlScope::~GlScope()
{
    if (!drawing_context) drawing_context = egl().root;
    if (publish && key != drawing_context) glFinish();
}

void GlScope::mark_drawing_context() { drawing_context = key; }

void log_error(const char *format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log_message("d3d11", "%s", message);
}

} // namespace tallow::d3d11::gl
