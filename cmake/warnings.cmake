# Compiler settings shared by every target of the tool.

if(KELVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Warnings as errors, the flags that keep the C++ runtime out, and each
# function and object in a section of its own, so that the link can drop
# what the program never uses. The project sets them, not a toolchain
# file: a device SDK's or Buildroot's toolchain file knows nothing of them.
function(kelvane_strict target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wsign-conversion
    -Wformat=2 -Wcast-qual -Wnull-dereference -Wundef
    -fno-exceptions -fno-rtti -fstack-protector-strong
    -ffunction-sections -fdata-sections)
  target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64 _GNU_SOURCE)
endfunction()

# Link with the C driver so libstdc++ is never pulled in, and drop any
# library and any section the program does not use.
function(kelvane_c_runtime_only target)
  if(NOT KELVANE_SANITIZE)
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  endif()
  target_link_options(${target} PRIVATE -Wl,--as-needed -Wl,--gc-sections)
  # Only glibc's static start-up write-protects the RELRO pages; for the
  # others the page-aligned gap that RELRO puts before the data would only
  # cost space, and without it a small page size lets the data follow the
  # code in the file. Last on the line, so it holds over a wrapper's -z relro.
  if(KELVANE_STATIC AND NOT KELVANE_LIBC STREQUAL "glibc")
    target_link_options(${target} PRIVATE -Wl,-z,norelro -Wl,-z,common-page-size=256)
  endif()
endfunction()
