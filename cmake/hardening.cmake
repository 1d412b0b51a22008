# Instrumented builds, each in a build folder of its own (scripts/test makes
# them): SNAPVEL_SANITIZE builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer so that the whole test suite runs instrumented;
# SNAPVEL_FUZZ builds only the libFuzzer targets under tests/fuzz (clang).
option(SNAPVEL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(SNAPVEL_FUZZ "Build only the libFuzzer targets in tests/fuzz (needs clang)" OFF)

if(SNAPVEL_SANITIZE AND SNAPVEL_FUZZ)
    message(FATAL_ERROR "SNAPVEL_SANITIZE and SNAPVEL_FUZZ need separate build folders")
endif()

if(SNAPVEL_SANITIZE)
    # Undefined behaviour stops the program at the first report, like an
    # address error, so that no test can pass with one. -O1 keeps the
    # instrumented tests quick without hiding the stack traces. Only the C++
    # code is instrumented: the one C target, the library preloaded into the
    # browser's processes (src/preload), runs where no sanitizer runtime is
    # loaded first, and the browser would refuse to start with it.
    add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-O1;-fsanitize=address,undefined;-fno-omit-frame-pointer;-fno-sanitize-recover=undefined>")
    add_link_options("$<$<LINK_LANGUAGE:CXX>:-fsanitize=address,undefined>")
endif()

if(SNAPVEL_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SNAPVEL_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++): "
                        "libFuzzer comes with clang")
endif()
