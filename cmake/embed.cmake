# Writes OUTPUT, a C++ source that defines one char array per file:
#   cmake -DOUTPUT=file.cpp -DENTRIES="kName=path|kOther=path" -DVERSION=x.y.z -P embed.cmake
# Each file goes in as a raw string literal, which must not hold its closing
# delimiter; VERSION becomes kUplotVersion.
set(delimiter "perfprobe_asset")
set(body "// Made by cmake/embed.cmake from the files it names: do not edit.\n")
string(APPEND body "#include \"report_assets.h\"\n\nnamespace perfprobe {\n\n")
string(REPLACE "|" ";" ENTRIES "${ENTRIES}")
foreach(entry IN LISTS ENTRIES)
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  file(READ "${path}" content)
  string(FIND "${content}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${path} holds )${delimiter}\" and cannot be embedded as it is")
  endif()
  string(APPEND body "const char ${name}[] = R\"${delimiter}(${content})${delimiter}\";\n\n")
endforeach()
string(APPEND body "const char kUplotVersion[] = \"${VERSION}\";\n\n}  // namespace perfprobe\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
