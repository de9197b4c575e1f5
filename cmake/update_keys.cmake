# tolvane_write_update_keys(OUTPUT FILE KEYS pem1 [pem2 ...]): writes FILE,
# the C++ initialisers of the update key list (update/trusted_update_keys.cpp)
# made of the public keys in the PEM files given. Each file must hold one
# public key ("-----BEGIN PUBLIC KEY-----"); a file holding a private key is
# refused, so that a private key can never be built into the program.
# A relative path is taken from the source folder.
function(tolvane_write_update_keys)
  cmake_parse_arguments(K "" "OUTPUT" "KEYS" ${ARGN})
  set(entries "")
  set(read_files "")
  foreach(key_file IN LISTS K_KEYS)
    get_filename_component(key_file "${key_file}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    list(APPEND read_files "${key_file}")
    if(NOT EXISTS "${key_file}")
      message(FATAL_ERROR "TOLVANE_UPDATE_KEYS: ${key_file} does not exist")
    endif()
    file(READ "${key_file}" pem)
    if(pem MATCHES "PRIVATE KEY")
      message(FATAL_ERROR "TOLVANE_UPDATE_KEYS: ${key_file} holds a private key; give the "
                          "public key only (tolvane-db keygen writes it to its own file)")
    endif()
    string(REGEX MATCH "-----BEGIN PUBLIC KEY-----[A-Za-z0-9+/=\r\n]+-----END PUBLIC KEY-----"
           key "${pem}")
    if(NOT key)
      message(FATAL_ERROR "TOLVANE_UPDATE_KEYS: ${key_file} holds no PEM public key")
    endif()
    string(REPLACE "\r" "" key "${key}")
    string(APPEND entries "    R\"tolvanekey(${key}\n)tolvanekey\",\n")
  endforeach()
  if(entries STREQUAL "")
    message(FATAL_ERROR "TOLVANE_UPDATE_KEYS: no key file given")
  endif()
  # Rewritten only when it changes, so that a new configure rebuilds nothing.
  file(WRITE "${K_OUTPUT}.new" "// Made by CMake from TOLVANE_UPDATE_KEYS.\n${entries}")
  configure_file("${K_OUTPUT}.new" "${K_OUTPUT}" COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${read_files})
endfunction()
