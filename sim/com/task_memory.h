// Task memory that the simulator hands to its clients. Every block goes through
// sim_alloc so that it can be counted; in process, a malloc spy sees the
// client's CoTaskMemFree and takes the block off the books. That lets tests of
// a client prove that every answer was freed.
#pragma once

#include <windows.h>
#include <cstddef>
#include <string>

namespace hdasim {

// CoTaskMemAlloc of n bytes (at least 1), tracked. Null on failure.
void* sim_alloc(size_t bytes);
template <class T>
T* sim_alloc_array(size_t n) {
    return static_cast<T*>(sim_alloc(n * sizeof(T)));
}
// Frees a block the simulator allocated but never handed out (error paths).
void sim_free(void* p);
// A tracked task-memory copy of a string (empty for null).
wchar_t* sim_strdup(const wchar_t* s);
inline wchar_t* sim_strdup(const std::wstring& s) { return sim_strdup(s.c_str()); }

// Installs the malloc spy once per process (in process only; a local server
// does not need it: its stubs free everything).
void install_malloc_spy();
// Blocks handed out and not freed.
long outstanding_task_memory();

}  // namespace hdasim
