# Embeds JSON records in a shared library as ELF notes of the FDO conventions
# (owner "FDO"), so that `readelf -n` and packaging tools read them:
#
#   add_package_note(<target> <json-template>)  .note.package, type 0xcafe1a7e:
#       the package and version the library comes from
#   add_dlopen_note(<target> <json-template>)   .note.dlopen, type 0x407c0c0a:
#       the libraries it loads with dlopen, which no DT_NEEDED entry shows
#
# Each template is expanded with configure_file(@ONLY) first.

set(_PACKAGE_NOTE_TYPE 0xcafe1a7e)
set(_DLOPEN_NOTE_TYPE 0x407c0c0a)

# The note's descriptor is the JSON text and its NUL, padded to 4 bytes.
function(_add_fdo_note target section type template)
  set(json "${CMAKE_CURRENT_BINARY_DIR}/${target}${section}.json")
  set(asm "${CMAKE_CURRENT_BINARY_DIR}/${target}${section}.S")
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
"\t.section ${section},\"a\",@note\n"
"\t.balign 4\n"
"\t.long 4\n"
"\t.long ${desc_size}\n"
"\t.long ${type}\n"
"\t.asciz \"FDO\"\n"
"${bytes}\n"
"\t.byte 0\n"
"\t.balign 4\n"
"\t.section .note.GNU-stack,\"\",@progbits\n")
  target_sources(${target} PRIVATE "${asm}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${template}")
endfunction()

function(add_package_note target template)
  _add_fdo_note(${target} .note.package ${_PACKAGE_NOTE_TYPE} "${template}")
endfunction()

function(add_dlopen_note target template)
  _add_fdo_note(${target} .note.dlopen ${_DLOPEN_NOTE_TYPE} "${template}")
endfunction()
