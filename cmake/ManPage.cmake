# cmake -DIN=page.1 -DOUT=page.1.out -DPAGE=name -P ManPage.cmake
# Makes a manual page with Chinese text readable outside a UTF-8 locale:
# there man formats for a terminal without those characters (groff -Tascii),
# and groff would drop each one with a warning. The page gets, for such
# devices only, a "?" for every Chinese character (CJK ideographs and
# punctuation, full-width forms) and a note at the top of its DESCRIPTION
# naming the locale that shows them. preconv (groff) finds the characters.
file(READ "${IN}" page)
find_program(PRECONV preconv)
set(code_points)
if(PRECONV)
  execute_process(COMMAND "${PRECONV}" -e UTF-8 "${IN}" OUTPUT_VARIABLE converted
                  RESULT_VARIABLE result)
  if(result EQUAL 0)
    string(REGEX MATCHALL "\\\\\\[u[0-9A-F]+\\]" escapes "${converted}")
    foreach(escape ${escapes})
      string(REGEX REPLACE "^\\\\\\[u([0-9A-F]+)\\]$" "\\1" hex "${escape}")
      math(EXPR value "0x${hex}")
      if(value GREATER_EQUAL 11904) # U+2E80: CJK radicals and everything after
        list(APPEND code_points ${hex})
      endif()
    endforeach()
    list(REMOVE_DUPLICATES code_points)
    list(SORT code_points)
  endif()
endif()
if(code_points)
  set(block ".\\\" Devices without Chinese glyphs (man outside a UTF-8 locale): \"?\"\n")
  string(APPEND block ".if !'\\*[.T]'utf8' \\{\\\n")
  foreach(hex ${code_points})
    string(APPEND block ".  char \\[u${hex}] ?\n")
  endforeach()
  string(APPEND block ".\\}\n")
  # After the .TH line, and at the top of DESCRIPTION (plain string
  # operations: the text is full of backslashes).
  string(FIND "${page}" ".TH " at)
  string(SUBSTRING "${page}" ${at} -1 rest)
  string(FIND "${rest}" "\n" end)
  math(EXPR at "${at} + ${end} + 1")
  string(SUBSTRING "${page}" 0 ${at} head)
  string(SUBSTRING "${page}" ${at} -1 tail)
  set(page "${head}${block}${tail}")
  string(CONCAT note ".if !'\\*[.T]'utf8' \\{\\\n"
           "This page has Chinese text, shown here as \"?\"; it reads in full in a UTF-8\n"
           "locale:\n"
           ".B LC_ALL=C.UTF\\-8 man ${PAGE}\\c\n"
           "\\&.\n.PP\n.\\}\n")
  set(heading "\n.SH DESCRIPTION\n")
  string(FIND "${page}" "${heading}" at)
  if(at GREATER_EQUAL 0)
    string(LENGTH "${heading}" length)
    math(EXPR at "${at} + ${length}")
    string(SUBSTRING "${page}" 0 ${at} head)
    string(SUBSTRING "${page}" ${at} -1 tail)
    set(page "${head}${note}${tail}")
  endif()
endif()
file(WRITE "${OUT}" "${page}")
