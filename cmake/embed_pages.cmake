# Writes the built-in pages' table (client/web/embedded_pages.h): each file
# of PAGES (paths under PAGES_DIR, between '|') as an array of bytes, and each
# of EXTRA (name=file, between '|'; a script from a system package) under its
# name, all in the order of their names.
#   cmake -DPAGES_DIR=<folder> -DPAGES=<a.html|b/c.js> [-DEXTRA=<d.js=/usr/.../d.js>] -DOUTPUT=<file.cpp>
#         -P embed_pages.cmake
string(REPLACE "|" ";" pages "${PAGES}")
set(files "")
foreach(page ${pages})
  list(APPEND files "${page}=${PAGES_DIR}/${page}")
endforeach()
string(REPLACE "|" ";" extra "${EXTRA}")
list(APPEND files ${extra})
list(SORT files)
set(arrays "")
set(rows "")
set(index 0)
foreach(entry ${files})
  string(REGEX REPLACE "=.*" "" page "${entry}")
  string(REGEX REPLACE "^[^=]*=" "" path "${entry}")
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n  " bytes "${bytes}")
  string(APPEND arrays "const unsigned char page${index}[${size} + 1] = {\n  ${bytes}0};\n")
  string(APPEND rows "    {\"${page}\", page${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
set(text "// Generated from ${PAGES_DIR} ${EXTRA} by cmake/embed_pages.cmake: do not edit.\n")
string(APPEND text "#include \"web/embedded_pages.h\"\n\nnamespace {\n\n${arrays}\n}  // namespace\n\n")
string(APPEND text "const EmbeddedPage kEmbeddedPages[] = {\n${rows}    {nullptr, nullptr, 0},\n};\n")
# Rewritten only when it changes, so an unchanged page set compiles nothing.
file(WRITE ${OUTPUT}.new "${text}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
