// windows_api.h: the Windows API as the exit's Windows sources include it.
//
// One place for what must come before <windows.h>, so that every source
// sees the same declarations.
#ifndef TARVELO_OS_WINDOWS_API_H
#define TARVELO_OS_WINDOWS_API_H

#ifndef NOMINMAX
#define NOMINMAX // std::min and std::max, not the Windows macros
#endif
#include <windows.h>

#endif
