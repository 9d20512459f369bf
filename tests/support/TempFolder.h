#pragma once
// mkdtemp where the system has it; Windows' C library has only _mktemp_s and _mkdir.

#include <cstdlib>
#ifdef _WIN32
#include <cstring>
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vk::test {

// Fills in the trailing XXXXXX of tmpl and makes that folder; tmpl, or null on failure.
inline char* MakeTempFolder(char* tmpl) {
#ifdef _WIN32
  for (int attempt = 0; attempt < 100; ++attempt) {
    char copy[1024];
    std::strncpy(copy, tmpl, sizeof copy - 1);
    copy[sizeof copy - 1] = 0;
    if (_mktemp_s(copy, std::strlen(copy) + 1) != 0) return nullptr;
    if (_mkdir(copy) == 0) {
      std::strcpy(tmpl, copy);
      return tmpl;
    }
  }
  return nullptr;
#else
  return ::mkdtemp(tmpl);
#endif
}

} // namespace vk::test
