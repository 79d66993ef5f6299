// The seven exported entry points. Each is a thin C shell around the flows of
// interface.cpp and rename.cpp: nothing may unwind through the C boundary.
#include "tavrik.h"

#include <cstring>
#include <new>

#include "naming.h"

namespace {

// Only allocation failure can throw below; word it and keep the buffers valid.
template <class R>
R fail_internal(R result) noexcept
{
    tavrik::set_error("out of memory");
    return result;
}

}  // namespace

extern "C" {

TAVRIK_API int tavrik_init(void) noexcept
{
    tavrik::set_error("no error");
    tavrik::g_suggest_buf[0] = '\0';
    return 1;
}

TAVRIK_API void tavrik_cleanup(void) noexcept { tavrik::g_suggest_buf[0] = '\0'; }

TAVRIK_API const char* tavrik_suggest(const char* input_path, int strategy) noexcept
{
    try {
        return tavrik::suggest_flow(input_path, strategy);
    } catch (...) {
        tavrik::g_suggest_buf[0] = '\0';
        return fail_internal<const char*>(tavrik::g_suggest_buf);
    }
}

TAVRIK_API int tavrik_rename(const char* input_path, int strategy, const char* output_dir) noexcept
{
    try {
        return tavrik::rename_flow(input_path, strategy, output_dir);
    } catch (...) {
        return fail_internal(0);
    }
}

TAVRIK_API int tavrik_batch(const char* input_dir, const char* output_dir, int strategy) noexcept
{
    try {
        return tavrik::batch_flow(input_dir, output_dir, strategy);
    } catch (...) {
        return fail_internal(0);
    }
}

TAVRIK_API const char* tavrik_last_error(void) noexcept { return tavrik::g_last_error; }

TAVRIK_API const char* tavrik_last_result_path(void) noexcept { return tavrik::g_suggest_buf; }

}  // extern "C"
