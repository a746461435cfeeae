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

# The 32-bit program is built for size: one optimisation unit across the runtime and the program
# (most of the runtime's functions have one caller), no frame pointer, and the 4-byte stack
# alignment Windows gives at the entry (nothing outside the power loop keeps SSE data on the
# stack), and data aligned only as its type needs (GCC otherwise pads every array of 32 bytes or
# more to 32, for vector code this program does not have). Small functions called from several
# places stay calls and a switch stays a chain of compares: 412 bytes less code and tables, and
# nothing here runs often enough for either to show. The objects stay fat, so that the library
# check reads their machine code. (The x86-64 linker of this toolchain crashes on such a link:
# that build stays as it is.)
set(CALVISTO_PRODUCT_SIZE_FLAGS -Oz -flto -ffat-lto-objects -fomit-frame-pointer -malign-data=abi
                                -mpreferred-stack-boundary=2 -fno-inline-small-functions
                                -fno-jump-tables)

# The link of an executable takes the same flags; a static library ignores link options.
function(calvisto_product_size target)
  target_compile_options(${target} PRIVATE ${CALVISTO_PRODUCT_SIZE_FLAGS})
  target_link_options(${target} PRIVATE ${CALVISTO_PRODUCT_SIZE_FLAGS})
endfunction()
