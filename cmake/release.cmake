# release: one folder, build/<arch>/release, with both architectures' zips and installers,
# SHA256SUMS, the winget manifest (release/winget/) and the Scoop manifest (release/kelvor.json).
# Their addresses are KELVOR_RELEASE_URL followed by each file's name; their hashes are those of
# the files this run made. The other architecture is the build in KELVOR_OTHER_BUILD_DIR, brought
# up to date first, and every build of this tree then makes the release; without one, the
# target configures and builds the other architecture itself, in other-arch/.
set(KELVOR_RELEASE_URL "https://kelvor.example/releases/{version}" CACHE STRING
    "The address the release files are published under; {version} stands for the project version")
set(KELVOR_HOMEPAGE "https://kelvor.example/" CACHE STRING "kelvor's home page, for the manifests")
set(KELVOR_LICENSE "Proprietary" CACHE STRING "kelvor's licence, as the manifests name it")
set(KELVOR_OTHER_BUILD_DIR "" CACHE PATH "The build of the other architecture, for the release")

set(KELVOR_RELEASE_DIR "")
if(NOT KELVOR_INSTALLER)
  return()
endif()
set(KELVOR_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
string(REPLACE "{version}" "${PROJECT_VERSION}" KELVOR_RELEASE_BASE "${KELVOR_RELEASE_URL}")
string(REGEX REPLACE "/+$" "" KELVOR_RELEASE_BASE "${KELVOR_RELEASE_BASE}")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(other_triplet i686)
  set(zip32 kelvor-${PROJECT_VERSION}-win32.zip)
  set(setup86 kelvor-${PROJECT_VERSION}-setup-x86.exe)
  set(zip64 ${CMAKE_BINARY_DIR}/${KELVOR_PACKAGE}.zip)
  set(setup64 ${KELVOR_INSTALLER})
else()
  set(other_triplet x86_64)
  set(zip64 kelvor-${PROJECT_VERSION}-win64.zip)
  set(setup64 kelvor-${PROJECT_VERSION}-setup-x64.exe)
  set(zip32 ${CMAKE_BINARY_DIR}/${KELVOR_PACKAGE}.zip)
  set(setup86 ${KELVOR_INSTALLER})
endif()

set(release_in_all "")
set(configure_other "")
if(KELVOR_OTHER_BUILD_DIR)
  set(other_build ${KELVOR_OTHER_BUILD_DIR})
  set(release_in_all ALL)
else()
  set(other_build ${CMAKE_BINARY_DIR}/other-arch)
  set(configure_other COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${other_build}
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-${other_triplet}.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DKELVOR_POLIPO_SOURCE_DIR=${KELVOR_POLIPO_SOURCE_DIR})
endif()
foreach(file zip32 setup86 zip64 setup64)
  if(NOT IS_ABSOLUTE ${${file}})
    set(${file} ${other_build}/${${file}})
  endif()
endforeach()

add_custom_target(release ${release_in_all}
  ${configure_other}
  # A build of its own, not a part of this make's: it gets no share of its job slots.
  COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS
          ${CMAKE_COMMAND} --build ${other_build} --target installer package_zip
  COMMAND ${CMAKE_COMMAND} -DOUT=${KELVOR_RELEASE_DIR} -DTEMPLATES=${CMAKE_SOURCE_DIR}/package/manifests
          -DVERSION=${PROJECT_VERSION} -DURL=${KELVOR_RELEASE_BASE} -DHOMEPAGE=${KELVOR_HOMEPAGE}
          -DLICENSE=${KELVOR_LICENSE} -DZIP32=${zip32} -DZIP64=${zip64} -DSETUP86=${setup86}
          -DSETUP64=${setup64} -P ${CMAKE_SOURCE_DIR}/cmake/make_release.cmake
  COMMENT "Making the release in ${KELVOR_RELEASE_DIR}"
  VERBATIM)
add_dependencies(release installer package_zip)
