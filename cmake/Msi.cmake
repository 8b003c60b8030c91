# CPack's External generator runs this script after staging the release's
# files, the same install rules that fill the ZIP. It writes the Windows
# Installer package, Nimbrel-<version>-x64.msi, with wixl: every staged file
# goes under Program Files\Nimbrel, so what is added to the ZIP is carried by
# the MSI too.

# A Windows Installer identifier for a relative path: letters, digits, dots
# and underscores only, at most 72 characters (long paths are hashed).
function(nimbrel_msi_id prefix path out)
  string(MAKE_C_IDENTIFIER "${path}" id)
  set(id "${prefix}${id}")
  string(LENGTH "${id}" length)
  if(length GREATER 72)
    string(SHA1 hash "${path}")
    set(id "${prefix}${hash}")
  endif()
  set(${out} "${id}" PARENT_SCOPE)
endfunction()

# Appends the Directory and Component elements of the staged folder `rel`
# (relative to `root`; empty for the top) to `NIMBREL_MSI_FILES`, and a
# ComponentRef for each to `NIMBREL_MSI_REFS`.
function(nimbrel_msi_folder root rel indent)
  if(rel STREQUAL "")
    set(dir "${root}")
  else()
    set(dir "${root}/${rel}")
  endif()
  file(GLOB entries LIST_DIRECTORIES true RELATIVE "${dir}" "${dir}/*")
  list(SORT entries)
  set(files "${NIMBREL_MSI_FILES}")
  set(refs "${NIMBREL_MSI_REFS}")
  foreach(name IN LISTS entries)
    if(rel STREQUAL "")
      set(path "${name}")
    else()
      set(path "${rel}/${name}")
    endif()
    if(IS_DIRECTORY "${dir}/${name}")
      continue()
    endif()
    # The settings belong to the administrator: never installed, replaced
    # or removed by the package.
    if(path STREQUAL "Nimbrel.ini")
      continue()
    endif()
    if(path STREQUAL "Nimbrel.exe")
      set(file_id NimbrelExe)
      # Stopped before its files are replaced or removed, deleted with the
      # product, started once installed (registered by the custom action).
      set(extra "\n${indent}  <ServiceControl Id=\"NimbrelService\" Name=\"Nimbrel\" Start=\"install\" Stop=\"both\" Remove=\"uninstall\" Wait=\"yes\"/>")
    else()
      nimbrel_msi_id(f_ "${path}" file_id)
      set(extra "")
    endif()
    nimbrel_msi_id(c_ "${path}" component_id)
    string(APPEND files
      "${indent}<Component Id=\"${component_id}\" Guid=\"*\" Win64=\"yes\">\n"
      "${indent}  <File Id=\"${file_id}\" Name=\"${name}\" Source=\"$(var.SourceDir)/${path}\" KeyPath=\"yes\"/>${extra}\n"
      "${indent}</Component>\n")
    string(APPEND refs "      <ComponentRef Id=\"${component_id}\"/>\n")
  endforeach()
  set(NIMBREL_MSI_FILES "${files}")
  set(NIMBREL_MSI_REFS "${refs}")
  foreach(name IN LISTS entries)
    if(IS_DIRECTORY "${dir}/${name}")
      if(rel STREQUAL "")
        set(path "${name}")
      else()
        set(path "${rel}/${name}")
      endif()
      nimbrel_msi_id(d_ "${path}" dir_id)
      string(APPEND NIMBREL_MSI_FILES "${indent}<Directory Id=\"${dir_id}\" Name=\"${name}\">\n")
      nimbrel_msi_folder("${root}" "${path}" "${indent}  ")
      string(APPEND NIMBREL_MSI_FILES "${indent}</Directory>\n")
    endif()
  endforeach()
  set(NIMBREL_MSI_FILES "${NIMBREL_MSI_FILES}" PARENT_SCOPE)
  set(NIMBREL_MSI_REFS "${NIMBREL_MSI_REFS}" PARENT_SCOPE)
endfunction()

# The staged files: under the release's top folder when the ZIP has one.
set(staged "${CPACK_TEMPORARY_DIRECTORY}")
if(IS_DIRECTORY "${staged}/${CPACK_PACKAGE_FILE_NAME}")
  set(staged "${staged}/${CPACK_PACKAGE_FILE_NAME}")
endif()
if(NOT EXISTS "${staged}/Nimbrel.exe")
  message(FATAL_ERROR "MSI: no Nimbrel.exe among the staged files in ${staged}")
endif()

set(NIMBREL_MSI_FILES "")
set(NIMBREL_MSI_REFS "")
nimbrel_msi_folder("${staged}" "" "          ")
string(REGEX REPLACE "\n$" "" NIMBREL_MSI_FILES "${NIMBREL_MSI_FILES}")
string(REGEX REPLACE "\n$" "" NIMBREL_MSI_REFS "${NIMBREL_MSI_REFS}")

# The source kept in the build folder, beside the package, for whoever wants
# to build the same package again with other values.
set(wxs "${CPACK_PACKAGE_DIRECTORY}/msi/Nimbrel.wxs")
configure_file("${CPACK_NIMBREL_WXS_TEMPLATE}" "${wxs}" @ONLY)

# wixl finds files only by paths relative to the source's folder.
get_filename_component(wxs_dir "${wxs}" DIRECTORY)
file(RELATIVE_PATH source_dir "${wxs_dir}" "${staged}")
file(COPY "${CPACK_NIMBREL_ICON}" DESTINATION "${wxs_dir}")
get_filename_component(icon "${CPACK_NIMBREL_ICON}" NAME)

set(msi "${CPACK_TEMPORARY_DIRECTORY}/${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-x64.msi")
execute_process(
  COMMAND "${CPACK_NIMBREL_WIXL}" --arch x64 -o "${msi}"
          -D "Version=${CPACK_PACKAGE_VERSION}" -D "SourceDir=${source_dir}" -D "Icon=${icon}"
          "${wxs}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "MSI: wixl failed (${result})")
endif()
# Signed once built, like Nimbrel.exe before it was packed.
execute_process(COMMAND "${CPACK_NIMBREL_BASH}" "${CPACK_NIMBREL_SIGN}" "${msi}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "MSI: signing failed (${result})")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES "${msi}")
