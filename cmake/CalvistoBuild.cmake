# Flags and helpers shared by every target of the project.

set(CALVISTO_WARNINGS -Wall -Wextra -Werror -Wshadow -Wundef -Wnon-virtual-dtor)

# The runtime is its own library: no C runtime underneath it, no exceptions,
# no RTTI, and the compiler must not turn loops back into library calls (clang already
# leaves loops alone under -ffreestanding and does not know g++'s switch for it).
set(CALVISTO_FREESTANDING_FLAGS
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
    $<$<CXX_COMPILER_ID:GNU>:-fno-tree-loop-distribute-patterns>
    -ffreestanding -fno-stack-protector)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CALVISTO_32BIT ON)
else()
  set(CALVISTO_32BIT OFF)
endif()

function(calvisto_warnings target)
  target_compile_options(${target} PRIVATE ${CALVISTO_WARNINGS})
endfunction()

function(calvisto_freestanding target)
  calvisto_warnings(${target})
  target_compile_options(${target} PRIVATE ${CALVISTO_FREESTANDING_FLAGS})
endfunction()
