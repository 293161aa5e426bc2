# Writes OUTPUT, a C++ file whose hosts::PageFiles() holds FILES: a list of PATH=TYPE=FILE entries,
# each file's text as a raw string literal.
set(delimiter "qnpage")
set(entries "")
set(bodies "")
set(index 0)
foreach(entry IN LISTS FILES)
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 path)
  list(GET parts 1 type)
  list(GET parts 2 file)
  file(READ "${file}" text)
  string(FIND "${text}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the literal's delimiter")
  endif()
  string(APPEND bodies "constexpr char kBody${index}[] = R\"${delimiter}(${text})${delimiter}\";\n")
  string(APPEND entries "    {\"${path}\", \"${type}\", {kBody${index}, sizeof kBody${index} - 1}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Generated from the page's files; do not edit.
#include \"hosts/system-resource-observer/PageFiles.h\"

namespace hosts {

namespace {
${bodies}
constexpr PageFile kFiles[] = {
${entries}};

}  // namespace

std::span<const PageFile> PageFiles()
{
    return kFiles;
}

}  // namespace hosts
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
