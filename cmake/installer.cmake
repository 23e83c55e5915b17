# The per-user installer of this architecture, kelvor-<version>-setup-x64.exe (or -x86.exe),
# made by NSIS from package/installer.nsi. It carries kelvor.exe, the real proxy with its
# licence, the commented config and the text for users; a build without the real proxy or
# without makensis makes none, and says so. KELVOR_INSTALLER names it, empty then.

# Run by the installer and the uninstaller: ends the kelvor of their folder as Exit does.
add_executable(close_kelvor WIN32 package/close_kelvor.cpp app/xp_compat.cpp)
target_link_libraries(close_kelvor PRIVATE kelvor_core)
target_link_options(close_kelvor PRIVATE -municode)
set_target_properties(close_kelvor PROPERTIES OUTPUT_NAME close-kelvor)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KELVOR_INSTALLER_ARCH x64)
  set(installer_target amd64-unicode)
else()
  set(KELVOR_INSTALLER_ARCH x86)
  set(installer_target x86-unicode)
endif()
set(KELVOR_INSTALLER "")
find_program(KELVOR_MAKENSIS makensis)
if(NOT KELVOR_MAKENSIS OR NOT KELVOR_REAL_PROXY_EXE)
  message(STATUS "No installer: it needs makensis (Debian's nsis) and the real proxy")
  return()
endif()
set(KELVOR_INSTALLER ${CMAKE_BINARY_DIR}/kelvor-${PROJECT_VERSION}-setup-${KELVOR_INSTALLER_ARCH}.exe)

set(installer_files ${CMAKE_BINARY_DIR}/installer-files)
set(KELVOR_README_STEPS "1. The setup has put kelvor in a folder of your own, without administrator rights (by
   default %LOCALAPPDATA%\\Programs\\kelvor), and \"kelvor\" in the Start menu.
2. Start kelvor from the Start menu. Its icon appears in the notification area; the proxy
   runs hidden.")
set(KELVOR_README_REMOVAL "

Removing kelvor
\"Apps & features\" (\"Add or remove programs\" on older Windows) removes kelvor. It closes
kelvor first and leaves your own proxy settings as they were before kelvor changed them.
kelvor.ini, config and the cache folder beside kelvor.exe stay for a later install, unless you
tick \"Also remove the cache and settings\". A setup of a newer version keeps them too, and
starts kelvor again if it was running.")
configure_file(package/readme.txt ${installer_files}/readme.txt @ONLY NEWLINE_STYLE CRLF)

add_custom_command(
  OUTPUT ${KELVOR_INSTALLER}
  COMMAND ${KELVOR_MAKENSIS} -V2 -WX
          -DVERSION=${PROJECT_VERSION}
          -DVERSION_NUMBERS=${KELVOR_VERSION_MAJOR}.${KELVOR_VERSION_MINOR}.0.0
          -DTARGET=${installer_target} -DARCH=${KELVOR_INSTALLER_ARCH}
          -DOUTFILE=${KELVOR_INSTALLER}
          -DKELVOR_EXE=$<TARGET_FILE:kelvor>
          -DPOLIPO_EXE=${KELVOR_REAL_PROXY_EXE}
          -DPOLIPO_LICENCE=${package_files}/polipo-COPYING.txt
          -DCONFIG=${package_files}/config
          -DREADME=${installer_files}/readme.txt
          -DCLOSER=$<TARGET_FILE:close_kelvor>
          -DICON=${KELVOR_GENERATED}/kelvor.ico
          ${CMAKE_SOURCE_DIR}/package/installer.nsi
  DEPENDS ${CMAKE_SOURCE_DIR}/package/installer.nsi kelvor close_kelvor polipo_real
          ${package_files}/polipo-COPYING.txt ${package_files}/config ${installer_files}/readme.txt
          ${KELVOR_GENERATED}/kelvor.ico
  COMMENT "Making kelvor-${PROJECT_VERSION}-setup-${KELVOR_INSTALLER_ARCH}.exe")
add_custom_target(installer ALL DEPENDS ${KELVOR_INSTALLER})
