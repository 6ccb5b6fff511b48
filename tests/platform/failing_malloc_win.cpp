// failing_malloc_win.cpp: channel start when memory runs out, and a
// system random generator that gives nothing, on Windows.
//
// Linked into a test program of its own, as the preloaded allocator is on
// Linux: the library is loaded before the tests run and its imports of the
// C runtime's malloc and of BCryptGenRandom are pointed at stand-ins that
// refuse 64-byte requests and random bytes while the tests ask for it. Only
// the exit's own calls go through those imports, so nothing else in the
// process fails. The exported flags tell the tests that the failures can be
// had; were an import not found, the call would succeed and the test fail,
// never pass unchecked. The exit's free is pointed at a stand-in too, which
// counts the exit's 64-byte blocks released with a byte not yet wiped.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {
// While nonzero, the exit's 64-byte allocation fails.
__declspec(dllexport) int tarvelo_test_failing_malloc = 1;
// While nonzero, the system's random generator gives the exit nothing.
__declspec(dllexport) int tarvelo_test_failing_random = 0;
// The exit's 64-byte blocks released, and those of them not wiped to zero.
__declspec(dllexport) int tarvelo_test_released_blocks = 0;
__declspec(dllexport) int tarvelo_test_released_unwiped = 0;
}

namespace {

using malloc_fn = void *(__cdecl *)(std::size_t);
malloc_fn real_malloc = nullptr;
using random_fn = NTSTATUS(WINAPI *)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);
random_fn real_random = nullptr;
using free_fn = void(__cdecl *)(void *);
free_fn real_free = nullptr;

// The exit's 64-byte blocks not yet released.
std::atomic<void *> exit_blocks[64];

void *__cdecl failing_malloc(std::size_t size) {
    if (tarvelo_test_failing_malloc != 0 && size == 64) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = real_malloc(size);
    if (block != nullptr && size == 64) {
        for (auto &slot : exit_blocks) {
            void *expected = nullptr;
            if (slot.compare_exchange_strong(expected, block)) {
                break;
            }
        }
    }
    return block;
}

void __cdecl counting_free(void *block) {
    for (auto &slot : exit_blocks) {
        void *expected = block;
        if (block != nullptr && slot.compare_exchange_strong(expected, nullptr)) {
            const auto *bytes = static_cast<const unsigned char *>(block);
            int unwiped = 0;
            for (int i = 0; i < 64; ++i) {
                unwiped |= bytes[i] != 0 ? 1 : 0;
            }
            ++tarvelo_test_released_blocks;
            tarvelo_test_released_unwiped += unwiped;
            break;
        }
    }
    real_free(block);
}

NTSTATUS WINAPI failing_random(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG length,
                               ULONG flags) {
    if (tarvelo_test_failing_random != 0) {
        return static_cast<NTSTATUS>(0xC0000001L); // STATUS_UNSUCCESSFUL
    }
    return real_random(algorithm, buffer, length, flags);
}

// Points `module`'s import of `function` from `dll` at `replacement` and
// returns what it pointed at, or null when there is no such import.
void *replace_import(HMODULE module, const char *dll_name, const char *function,
                     void *replacement) {
    auto *base = reinterpret_cast<unsigned char *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) {
        return nullptr;
    }
    for (auto *dll =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        if (_stricmp(reinterpret_cast<const char *>(base + dll->Name), dll_name) != 0) {
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
            if (std::strcmp(reinterpret_cast<const char *>(by_name->Name), function) != 0) {
                continue;
            }
            DWORD protection = 0;
            if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                                &protection)) {
                return nullptr;
            }
            void *original = reinterpret_cast<void *>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<decltype(slot->u1.Function)>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            return original;
        }
    }
    return nullptr;
}

// Before main: the tests' own load of the library finds it loaded, patched.
const bool replaced = [] {
    HMODULE module = LoadLibraryA(TARVELO_LIBRARY_PATH);
    if (module == nullptr) {
        return false;
    }
    real_malloc = reinterpret_cast<malloc_fn>(
        replace_import(module, "msvcrt.dll", "malloc", reinterpret_cast<void *>(&failing_malloc)));
    real_random = reinterpret_cast<random_fn>(replace_import(
        module, "bcrypt.dll", "BCryptGenRandom", reinterpret_cast<void *>(&failing_random)));
    real_free = reinterpret_cast<free_fn>(
        replace_import(module, "msvcrt.dll", "free", reinterpret_cast<void *>(&counting_free)));
    return real_malloc != nullptr && real_random != nullptr && real_free != nullptr;
}();

} // namespace
