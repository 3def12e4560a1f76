# Import libraries of KERNEL32 and USER32 for the clang/lld-link builds, made
# once at configure time by llvm-dlltool from the names in MinGW-w64's import
# libraries. MinGW's own import objects would do on x86_64, but on i686 lld-link
# refuses them under /safeseh (they carry no SafeSEH marker); llvm-dlltool's
# short import objects are accepted, so the 32-bit DLL is linked with SafeSEH
# checks on. Every program and DLL of the build links these two and nothing else.
find_program(QT741_LLVM_NM llvm-nm REQUIRED)
find_program(QT741_LLVM_DLLTOOL llvm-dlltool REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(qt741_mingw_lib /usr/i686-w64-mingw32/lib)
  set(qt741_dlltool_machine i386)
  # i686 import symbols are __imp__Name@N; the DLL exports Name.
  set(qt741_import_prefix "__imp__")
  set(qt741_dlltool_options -k)
else()
  set(qt741_mingw_lib /usr/x86_64-w64-mingw32/lib)
  set(qt741_dlltool_machine i386:x86-64)
  set(qt741_import_prefix "__imp_")
  set(qt741_dlltool_options "")
endif()

set(QT741_IMPORT_LIBS "")
set(qt741_import_dir ${CMAKE_BINARY_DIR}/import-libs)
file(MAKE_DIRECTORY ${qt741_import_dir})
foreach(dll kernel32 user32)
  set(mingw_lib ${qt741_mingw_lib}/lib${dll}.a)
  set(import_lib ${qt741_import_dir}/${dll}.lib)
  if(NOT EXISTS ${import_lib} OR ${mingw_lib} IS_NEWER_THAN ${import_lib})
    execute_process(COMMAND ${QT741_LLVM_NM} ${mingw_lib} OUTPUT_VARIABLE symbols ERROR_QUIET
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "I ${qt741_import_prefix}[^\n]+" imports "${symbols}")
    list(TRANSFORM imports REPLACE "^I ${qt741_import_prefix}" "    ")
    list(REMOVE_DUPLICATES imports)
    string(TOUPPER ${dll} name)
    list(JOIN imports "\n" exports)
    file(WRITE ${qt741_import_dir}/${dll}.def "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
    execute_process(COMMAND ${QT741_LLVM_DLLTOOL} -m ${qt741_dlltool_machine} ${qt741_dlltool_options}
                            -d ${qt741_import_dir}/${dll}.def -l ${import_lib}
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
  list(APPEND QT741_IMPORT_LIBS ${import_lib})
endforeach()
