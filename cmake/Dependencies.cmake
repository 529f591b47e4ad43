# System packages (scripts/install-deps.sh installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED)

pkg_check_modules(FFTW3F REQUIRED IMPORTED_TARGET fftw3f)
find_library(FFTW3F_THREADS_LIBRARY fftw3f_threads REQUIRED)

set(QB_VST3_SDK_DIR "/usr/share/juce/modules/juce_audio_processors/format_types/VST3_SDK"
    CACHE PATH "VST3 SDK subset (package juce-modules-source-data)")
set(QB_CLAP_INCLUDE_DIR "/usr/share/dpf/distrho/src"
    CACHE PATH "Directory holding clap/ headers (package dpf-source)")
if(NOT EXISTS "${QB_VST3_SDK_DIR}/pluginterfaces/base/funknown.h")
  message(FATAL_ERROR "VST3 SDK not found at ${QB_VST3_SDK_DIR}: run scripts/install-deps.sh")
endif()
if(NOT EXISTS "${QB_CLAP_INCLUDE_DIR}/clap/entry.h")
  message(FATAL_ERROR "CLAP headers not found at ${QB_CLAP_INCLUDE_DIR}: run scripts/install-deps.sh")
endif()

if(QB_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(QB_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
if(QB_BUILD_TOOLS)
  pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
endif()
