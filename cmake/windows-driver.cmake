# Building a Windows x64 kernel-mode driver image (.sys) with mingw-w64.
#
# morvane_add_kernel_driver(<name> <sources>...) compiles the sources as kernel C++
# and links <name>.sys against the kernel and kernel-streaming import libraries only.
# The image is produced under a temporary name and renamed only after
# scripts/check-driver-image.sh has accepted it, so a failed check fails the build and
# leaves no image behind.

enable_language(CXX)

find_path(MORVANE_DDK_INCLUDE_DIR NAMES ntddk.h HINTS ${CMAKE_FIND_ROOT_PATH}
          PATH_SUFFIXES include/ddk DOC "mingw-w64 kernel headers (ntddk.h)" REQUIRED)
find_program(MORVANE_OBJDUMP NAMES ${CMAKE_OBJDUMP} x86_64-w64-mingw32-objdump REQUIRED)
find_program(MORVANE_BASH NAMES bash REQUIRED)

set(MORVANE_KERNEL_COMPILE_OPTIONS
    -fno-exceptions
    -fno-rtti
    -ffreestanding
    -fno-threadsafe-statics
    -Wall
    -Werror
    -Wno-multichar
    -mno-stack-arg-probe
    -Wframe-larger-than=2048
    -O2)

set(MORVANE_KERNEL_LINK_OPTIONS
    -nostdlib
    -Wl,--subsystem,native
    -Wl,-e,DriverEntry
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--image-base,0x140000000
    -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc
    -Wl,--gc-sections
    -s)

set(MORVANE_KERNEL_LIBRARIES -lksguid -luuid -lks -lntoskrnl -lhal)

set(MORVANE_CHECK_DRIVER_IMAGE ${CMAKE_SOURCE_DIR}/scripts/check-driver-image.sh)

function(morvane_add_kernel_driver name)
  set(sources ${ARGN})
  if(NOT sources)
    message(FATAL_ERROR "morvane_add_kernel_driver(${name}): no sources")
  endif()

  # The objects are compiled by CMake; the link is ours, so that none of the
  # desktop defaults (standard libraries, import library, console subsystem) creep in.
  set(objects ${name}_objects)
  add_library(${objects} OBJECT ${sources})
  target_include_directories(${objects} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_include_directories(${objects} SYSTEM PRIVATE ${MORVANE_DDK_INCLUDE_DIR})
  target_compile_options(${objects} PRIVATE ${MORVANE_KERNEL_COMPILE_OPTIONS})
  set_target_properties(${objects} PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
                                              CXX_EXTENSIONS OFF)

  set(image ${CMAKE_CURRENT_BINARY_DIR}/${name}.sys)
  set(unchecked ${CMAKE_CURRENT_BINARY_DIR}/${name}.unchecked.sys)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)

  add_custom_command(
    OUTPUT ${image}
    BYPRODUCTS ${map}
    COMMAND ${CMAKE_COMMAND} -E remove -f ${image} ${unchecked}
    COMMAND ${CMAKE_CXX_COMPILER} ${MORVANE_KERNEL_LINK_OPTIONS} -Wl,-Map,${map}
            -o ${unchecked} $<TARGET_OBJECTS:${objects}> ${MORVANE_KERNEL_LIBRARIES}
    COMMAND ${MORVANE_BASH} ${MORVANE_CHECK_DRIVER_IMAGE} --objdump ${MORVANE_OBJDUMP}
            --map ${map} ${unchecked} $<TARGET_OBJECTS:${objects}>
    COMMAND ${CMAKE_COMMAND} -E rename ${unchecked} ${image}
    DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${MORVANE_CHECK_DRIVER_IMAGE}
    COMMENT "Linking and checking kernel driver ${name}.sys"
    COMMAND_EXPAND_LISTS
    VERBATIM)

  add_custom_target(${name} ALL DEPENDS ${image})
  set_target_properties(${name} PROPERTIES MORVANE_IMAGE ${image})
endfunction()
