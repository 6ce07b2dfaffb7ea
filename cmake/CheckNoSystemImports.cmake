# Fails when an object or library calls a DLL function directly (an undefined
# __imp_ symbol): launcher/ and package/ reach Windows only through platform/.
# cmake -DNM=<nm> -DFILES=<a;b;...> -P CheckNoSystemImports.cmake
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${NM} -u ${file} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${file}")
  endif()
  string(REGEX MATCHALL "__imp_[A-Za-z0-9_@]+" imports "${symbols}")
  if(imports)
    list(REMOVE_DUPLICATES imports)
    list(JOIN imports ", " listed)
    message(SEND_ERROR "${file} calls Windows directly: ${listed}")
  endif()
endforeach()
