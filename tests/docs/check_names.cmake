# Every name a client meets in the type library (interfaces, event interfaces,
# classes, members, events and enumeration constants of module/OPCHDAAuto.idl)
# appears in the documentation under docs/ as code: a backtick, the name, then
# no further identifier character. A member added to the library without a line
# of documentation fails here.
#   cmake -DIDL=<OPCHDAAuto.idl> -DDOCS=<docs folder> -P check_names.cmake
file(READ "${IDL}" idl)
# The library's parts, which the IDL includes in place.
get_filename_component(idl_dir "${IDL}" DIRECTORY)
string(REGEX MATCHALL "#include \"[^\"]+\"" parts "${idl}")
foreach(part IN LISTS parts)
  string(REGEX REPLACE "#include \"|\"" "" part "${part}")
  file(READ "${idl_dir}/${part}" text)
  string(APPEND idl "${text}")
endforeach()
# Comments may name things that are not in the library.
string(REGEX REPLACE "//[^\n]*" "" idl "${idl}")

string(REGEX MATCHALL "(interface|dispinterface|coclass|enum)[ \t]+[A-Za-z_][A-Za-z0-9_]*" types "${idl}")
list(TRANSFORM types REPLACE "^[a-z]+[ \t]+" "")
string(REGEX MATCHALL "HRESULT[ \t]+[A-Za-z_][A-Za-z0-9_]*[ \t]*\\(" members "${idl}")
list(TRANSFORM members REPLACE "^HRESULT[ \t]+|[ \t]*\\($" "")
string(REGEX MATCHALL "\n[ \t]*OPCHDA[A-Za-z0-9_]*[ \t]*=" constants "${idl}")
list(TRANSFORM constants REPLACE "[\n \t=]" "")
set(names ${types} ${members} ${constants})
list(REMOVE_DUPLICATES names)
list(LENGTH names count)
if(count LESS 150)
  message(FATAL_ERROR "only ${count} names read from ${IDL}: the reading is broken")
endif()

file(GLOB pages "${DOCS}/*.md")
if(NOT pages)
  message(FATAL_ERROR "no pages in ${DOCS}")
endif()
set(text "")
foreach(page IN LISTS pages)
  file(READ "${page}" content)
  string(APPEND text "${content}\n")
endforeach()

set(missing "")
foreach(name IN LISTS names)
  if(NOT text MATCHES "`${name}([^A-Za-z0-9_]|$)")
    list(APPEND missing "${name}")
  endif()
endforeach()
if(missing)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "names of the type library that docs/ does not mention: ${missing}")
endif()
message(STATUS "${count} names of the type library, each in docs/")
