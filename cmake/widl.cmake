# Compiles an IDL file with widl into the build tree.
#   widl_compile(<idl> OUT_DIR <dir> [TLB] [HEADER] [IIDS] [PROXY])
# Sets <stem>_TLB, <stem>_HEADER, <stem>_IIDS, <stem>_PROXY, <stem>_DLLDATA in the caller.
set(WIDL_INCLUDE_DIR /usr/include/wine/wine/windows)
set(WIDL_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)

function(widl_compile idl)
  cmake_parse_arguments(W "TLB;HEADER;IIDS;PROXY" "OUT_DIR" "" ${ARGN})
  get_filename_component(stem ${idl} NAME_WE)
  get_filename_component(idl_abs ${idl} ABSOLUTE)
  get_filename_component(idl_dir ${idl_abs} DIRECTORY)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch --win64)
  else()
    set(arch --win32)
  endif()
  # The IDL may include parts of itself from folders beside it: any change to
  # one of them remakes the outputs.
  file(GLOB_RECURSE parts CONFIGURE_DEPENDS ${idl_dir}/*.idl)
  set(common ${arch} -I${WIDL_INCLUDE_DIR} -I${idl_dir} -L${WIDL_TLB_DIR})
  file(MAKE_DIRECTORY ${W_OUT_DIR})
  if(W_TLB)
    set(out ${W_OUT_DIR}/${stem}.tlb)
    add_custom_command(OUTPUT ${out} COMMAND ${WIDL} ${common} -t -o ${out} ${idl_abs}
                       DEPENDS ${parts} COMMENT "widl typelib ${stem}")
    set(${stem}_TLB ${out} PARENT_SCOPE)
  endif()
  if(W_HEADER)
    set(out ${W_OUT_DIR}/${stem}.h)
    add_custom_command(OUTPUT ${out} COMMAND ${WIDL} ${common} -h -o ${out} ${idl_abs}
                       DEPENDS ${parts} COMMENT "widl header ${stem}")
    set(${stem}_HEADER ${out} PARENT_SCOPE)
  endif()
  if(W_IIDS)
    set(out ${W_OUT_DIR}/${stem}_i.c)
    add_custom_command(OUTPUT ${out} COMMAND ${WIDL} ${common} -u -o ${out} ${idl_abs}
                       DEPENDS ${parts} COMMENT "widl iids ${stem}")
    set(${stem}_IIDS ${out} PARENT_SCOPE)
  endif()
  if(W_PROXY)
    set(out ${W_OUT_DIR}/${stem}_p.c)
    set(dd ${W_OUT_DIR}/${stem}_dlldata.c)
    add_custom_command(OUTPUT ${out} COMMAND ${WIDL} ${common} -Oif -p -o ${out} ${idl_abs}
                       DEPENDS ${parts} COMMENT "widl proxy ${stem}")
    add_custom_command(OUTPUT ${dd} COMMAND ${WIDL} --dlldata-only -o ${dd} ${stem}
                       COMMENT "widl dlldata ${stem}")
    set(${stem}_PROXY ${out} PARENT_SCOPE)
    set(${stem}_DLLDATA ${dd} PARENT_SCOPE)
  endif()
endfunction()
