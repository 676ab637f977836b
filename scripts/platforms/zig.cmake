# CMake toolchain for the compile check (scripts/check_platforms.sh): zig's clang compiling for
# Windows or macOS. TARN_ZIG_CXX is a wrapper running `zig c++ -target <TARN_ZIG_TARGET>`.
# Nothing is linked for these targets: the check compiles every source CMakeLists.txt selects.
if(TARN_ZIG_TARGET MATCHES "windows")
  set(CMAKE_SYSTEM_NAME Windows)
elseif(TARN_ZIG_TARGET MATCHES "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
else()
  message(FATAL_ERROR "no platform known for the zig target '${TARN_ZIG_TARGET}'")
endif()
# What the platform itself reports: AMD64 on 64-bit Windows, arm64 on Apple silicon.
if(TARN_ZIG_TARGET MATCHES "^x86_64" AND CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
elseif(TARN_ZIG_TARGET MATCHES "^aarch64" AND CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${TARN_ZIG_TARGET}")
endif()
set(CMAKE_CXX_COMPILER "${TARN_ZIG_CXX}")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARN_ZIG_TARGET TARN_ZIG_CXX)
