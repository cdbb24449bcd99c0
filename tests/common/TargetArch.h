// What the target architecture fixes at the library's interface, taken from
// the compiler's architecture macros rather than from the types themselves,
// so that a build whose char signedness or widths differ from what the
// platform's applications expect fails its tests.
#pragma once

#include <cstddef>

namespace target {

#if defined(__x86_64__)
constexpr const char* kName = "x86_64";
constexpr bool kCharIsSigned = true;
constexpr size_t kPointerBits = 64;
#elif defined(__i386__)
constexpr const char* kName = "i386";
constexpr bool kCharIsSigned = true;
constexpr size_t kPointerBits = 32;
#elif defined(__aarch64__)
constexpr const char* kName = "aarch64";
constexpr bool kCharIsSigned = false;
constexpr size_t kPointerBits = 64;
#elif defined(__arm__) && defined(__ARM_PCS_VFP)
constexpr const char* kName = "armhf";
constexpr bool kCharIsSigned = false;
constexpr size_t kPointerBits = 32;
#else
#error "no deliverable for this architecture"
#endif

}  // namespace target
