// Task memory that the simulator hands to its clients. Every block goes through
// SimAlloc so that it can be counted; in process, a malloc spy sees the
// client's CoTaskMemFree and takes the block off the books. That lets tests of
// a client prove that every answer was freed.
#pragma once

#include <windows.h>
#include <cstddef>
#include <string>

#include "com/task_array.h"

namespace hdasim {

// CoTaskMemAlloc of n bytes (at least 1), tracked. Null on failure.
void* SimAlloc(size_t bytes);
// Puts a block on the books (null is ignored); the spy takes it off when freed.
void Track(void* p);
// A zero-filled array of n elements (at least one, so that an empty answer is
// still an array), tracked; detached where it is handed to the client.
template <class T>
TaskArray<T> TrackedArray(size_t n) {
    auto block = TaskArray<T>::zeroed(n ? n : 1);
    Track(block.get());
    return block;
}
// A tracked task-memory copy of a string (empty for null).
wchar_t* SimStrdup(const wchar_t* s);
inline wchar_t* SimStrdup(const std::wstring& s) { return SimStrdup(s.c_str()); }

// Installs the malloc spy once per process (in process only; a local server
// does not need it: its stubs free everything).
void InstallMallocSpy();
// Blocks handed out and not freed.
long TaskBlocksOutstanding();

}  // namespace hdasim
