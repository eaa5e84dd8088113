# Run by `cmake --install`: writes velmora_csv/_location.py, which tells the
# installed Python package where the library of the same install is.
#
# Set before this script runs (by install(CODE) in the top CMakeLists.txt):
#   VELMORA_PY_PACKAGE_DIR   the package directory, relative to the prefix or absolute
#   VELMORA_PY_LIBRARY_DIR   the library directory, relative to the prefix or absolute
#   VELMORA_PY_LIBRARY_NAME  the library's SONAME file name
# CMAKE_INSTALL_PREFIX is the prefix of this install (--prefix included).

if(IS_ABSOLUTE "${VELMORA_PY_PACKAGE_DIR}")
  set(_package "${VELMORA_PY_PACKAGE_DIR}")
else()
  set(_package "${CMAKE_INSTALL_PREFIX}/${VELMORA_PY_PACKAGE_DIR}")
endif()

if(NOT IS_ABSOLUTE "${VELMORA_PY_PACKAGE_DIR}" AND NOT IS_ABSOLUTE "${VELMORA_PY_LIBRARY_DIR}")
  # Both under the prefix: a relative path keeps a moved prefix working.
  file(RELATIVE_PATH _library "/prefix/${VELMORA_PY_PACKAGE_DIR}"
       "/prefix/${VELMORA_PY_LIBRARY_DIR}/${VELMORA_PY_LIBRARY_NAME}")
elseif(IS_ABSOLUTE "${VELMORA_PY_LIBRARY_DIR}")
  set(_library "${VELMORA_PY_LIBRARY_DIR}/${VELMORA_PY_LIBRARY_NAME}")
else()
  set(_library "${CMAKE_INSTALL_PREFIX}/${VELMORA_PY_LIBRARY_DIR}/${VELMORA_PY_LIBRARY_NAME}")
endif()

# A Python string literal: backslashes and quotes escaped.
string(REPLACE "\\" "\\\\" _library "${_library}")
string(REPLACE "\"" "\\\"" _library "${_library}")

set(_file "$ENV{DESTDIR}${_package}/_location.py")
message(STATUS "Installing: ${_file}")
file(WRITE "${_file}"
  "# Written by cmake --install: the velmora-csv library of this install,\n"
  "# relative to this directory unless absolute.\n"
  "LIBRARY = \"${_library}\"\n")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_file}")
