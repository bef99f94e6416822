# Embeds a JSON version record in a shared library as an ELF note following
# the FDO packaging-metadata convention (section .note.package, owner "FDO",
# type 0xcafe1a7e), so that `readelf -n` shows it.
#
#   add_package_note(<target> <json-template>)
#
# The template is expanded with configure_file(@ONLY) first.

set(_PACKAGE_NOTE_TYPE 0xcafe1a7e)

function(add_package_note target template)
  set(json "${CMAKE_CURRENT_BINARY_DIR}/${target}-package-note.json")
  set(asm "${CMAKE_CURRENT_BINARY_DIR}/${target}-package-note.S")
  configure_file("${template}" "${json}" @ONLY)
  file(READ "${json}" text)
  string(STRIP "${text}" text)
  file(WRITE "${json}" "${text}")
  file(READ "${json}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR desc_size "${hex_length} / 2 + 1")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],)"
         "\\1\n" bytes "${bytes}")
  string(REGEX REPLACE ",\n" "\n" bytes "${bytes}")
  string(REGEX REPLACE ",$" "" bytes "${bytes}")
  string(REGEX REPLACE "(^|\n)0x" "\\1\t.byte 0x" bytes "${bytes}")
  file(WRITE "${asm}"
"\t.section .note.package,\"a\",@note\n"
"\t.balign 4\n"
"\t.long 4\n"
"\t.long ${desc_size}\n"
"\t.long ${_PACKAGE_NOTE_TYPE}\n"
"\t.asciz \"FDO\"\n"
"${bytes}\n"
"\t.byte 0\n"
"\t.balign 4\n"
"\t.section .note.GNU-stack,\"\",@progbits\n")
  target_sources(${target} PRIVATE "${asm}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${template}")
endfunction()
