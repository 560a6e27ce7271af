# libsodium, for package signatures only: SHA-256 and Ed25519. Debian's
# libsodium-dev provides it; a cross build takes the armel package through
# multiarch (libsodium-dev:armel, /usr/lib/arm-linux-gnueabi). Every program
# links the static archive, so the device program stays one self-contained
# file and the host tools' Debian package needs no further library.
#
# A cross build does not search the host's /usr/include (its C library
# headers are the host's), so it gets a folder that holds just sodium.h and
# its header tree (the same for every architecture: Multi-Arch: same).
if(TARGET qx_sodium)
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  set(QX_SODIUM_ARCH ${QX_TARGET_TRIPLE})
elseif(CMAKE_LIBRARY_ARCHITECTURE)
  set(QX_SODIUM_ARCH ${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(QX_SODIUM_ARCH x86_64-linux-gnu)
endif()

find_library(QX_SODIUM_LIBRARY NAMES libsodium.a PATHS /usr/lib/${QX_SODIUM_ARCH}
             NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_path(QX_SODIUM_INCLUDE_DIR sodium.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT QX_SODIUM_LIBRARY OR NOT QX_SODIUM_INCLUDE_DIR)
  message(FATAL_ERROR "static libsodium for ${QX_SODIUM_ARCH} not found "
                      "(Debian package libsodium-dev, libsodium-dev:armel for the ARM build)")
endif()

add_library(qx_sodium INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(headers ${CMAKE_BINARY_DIR}/sodium-headers)
  file(MAKE_DIRECTORY ${headers})
  foreach(entry sodium.h sodium)
    file(CREATE_LINK ${QX_SODIUM_INCLUDE_DIR}/${entry} ${headers}/${entry} SYMBOLIC)
  endforeach()
  target_include_directories(qx_sodium SYSTEM INTERFACE ${headers})
else()
  target_include_directories(qx_sodium SYSTEM INTERFACE ${QX_SODIUM_INCLUDE_DIR})
endif()
target_link_libraries(qx_sodium INTERFACE ${QX_SODIUM_LIBRARY})
