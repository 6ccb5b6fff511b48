// ident.cpp: the library's version, written into its file where `strings`
// and `tarvelo --version` find it, so that an operator can tell which build
// a host has loaded. Only data: the library still exports nothing but
// TARVELO, and nothing runs when it is loaded.
#include "exit/tarvelo.h"

namespace tarvelo {
namespace {

// Nothing refers to it: "used" keeps the compiler from dropping it, and
// stripping the file keeps it too, since it is data, not a symbol.
[[gnu::used]] constexpr char ident[] =
    "@(#)TARVELO " TARVELO_VERSION_STRING " channel security exit";

} // namespace
} // namespace tarvelo
