// failing_malloc_win.cpp: channel start when memory runs out, on Windows.
//
// Linked into a test program of its own, as the preloaded allocator is on
// Linux: the library is loaded before the tests run and its import of the
// C runtime's malloc is pointed at an allocator that refuses 64-byte
// requests. Only the exit's own calls go through that import, so nothing
// else in the process fails. The exported flag tells the tests that the
// allocation will fail; were the import not found, the allocation would
// succeed and the test fail, never pass unchecked.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {
__declspec(dllexport) int tarvelo_test_failing_malloc = 1;
}

namespace {

using malloc_fn = void *(__cdecl *)(std::size_t);
malloc_fn real_malloc = nullptr;

void *__cdecl failing_malloc(std::size_t size) {
    if (size == 64) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_malloc(size);
}

// Points `module`'s import of msvcrt.dll's malloc at failing_malloc.
bool replace_malloc_import(HMODULE module) {
    auto *base = reinterpret_cast<unsigned char *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) {
        return false;
    }
    for (auto *dll =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        if (_stricmp(reinterpret_cast<const char *>(base + dll->Name), "msvcrt.dll") != 0) {
            continue;
        }
        const DWORD names_at =
            dll->OriginalFirstThunk != 0 ? dll->OriginalFirstThunk : dll->FirstThunk;
        auto *name = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + names_at);
        auto *slot = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
                continue;
            }
            const auto *by_name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(by_name->Name), "malloc") != 0) {
                continue;
            }
            DWORD protection = 0;
            if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                                &protection)) {
                return false;
            }
            real_malloc = reinterpret_cast<malloc_fn>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<decltype(slot->u1.Function)>(&failing_malloc);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            return true;
        }
    }
    return false;
}

// Before main: the tests' own load of the library finds it loaded, patched.
const bool replaced = [] {
    HMODULE module = LoadLibraryA(TARVELO_LIBRARY_PATH);
    return module != nullptr && replace_malloc_import(module);
}();

} // namespace
