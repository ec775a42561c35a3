# Writes the program's desktop entry while installing, so that its Exec line
# names the program under the prefix that `cmake --install --prefix` is given,
# quoted as desktop entries quote arguments. The entry is made in memory and
# written straight into its place under the prefix (and DESTDIR), so that a
# user who may not write to the build tree can still install from it. Run by
# install(SCRIPT) after install(CODE) has set KOVO_DESKTOP_TEMPLATE,
# KOVO_DESKTOP_BINDIR and KOVO_DESKTOP_DATADIR (the last two as configured,
# relative to the prefix or absolute).
foreach(dir BINDIR DATADIR)
  if(IS_ABSOLUTE "${KOVO_DESKTOP_${dir}}")
    set(${dir} "${KOVO_DESKTOP_${dir}}")
  else()
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${KOVO_DESKTOP_${dir}}")
  endif()
endforeach()
string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${BINDIR}/kovo_uir")
string(REPLACE "\\" "\\\\" exec "${exec}")
set(KOVO_DESKTOP_EXEC "\"${exec}\"")
file(READ "${KOVO_DESKTOP_TEMPLATE}" desktop_entry)
string(CONFIGURE "${desktop_entry}" desktop_entry @ONLY)
set(desktop_file "$ENV{DESTDIR}${DATADIR}/applications/kovo_uir.desktop")
message(STATUS "Installing: ${desktop_file}")
file(WRITE "${desktop_file}" "${desktop_entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${desktop_file}")
