# Run by the release target, as cmake -P: puts both architectures' zips and installers in OUT,
# writes SHA256SUMS, and fills the winget and Scoop manifests from package/manifests with the
# files' addresses (URL, then the file name) and the hashes of the very files put in OUT.
#
#   cmake -DOUT=... -DTEMPLATES=... -DVERSION=... -DURL=... -DHOMEPAGE=... -DLICENSE=...
#         -DZIP32=... -DZIP64=... -DSETUP86=... -DSETUP64=... -P make_release.cmake
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/winget)
set(sums "")
foreach(kind ZIP32 ZIP64 SETUP86 SETUP64)
  if(NOT EXISTS "${${kind}}")
    message(FATAL_ERROR "The release needs ${${kind}}, which the build did not make")
  endif()
  get_filename_component(name ${${kind}} NAME)
  file(COPY ${${kind}} DESTINATION ${OUT})
  file(SHA256 ${OUT}/${name} SHA_${kind})
  string(TOUPPER ${SHA_${kind}} WINGET_SHA_${kind})
  set(URL_${kind} ${URL}/${name})
  # A zip holds one folder named as the zip itself.
  get_filename_component(DIR_${kind} ${name} NAME_WLE)
  string(APPEND sums "${SHA_${kind}}  ${name}\n")
endforeach()
file(WRITE ${OUT}/SHA256SUMS "${sums}")
foreach(manifest kelvor.kelvor.yaml kelvor.kelvor.installer.yaml kelvor.kelvor.locale.en-US.yaml)
  configure_file(${TEMPLATES}/${manifest}.in ${OUT}/winget/${manifest} @ONLY)
endforeach()
configure_file(${TEMPLATES}/kelvor.json.in ${OUT}/kelvor.json @ONLY)
message(STATUS "Release in ${OUT}, for ${URL}")
