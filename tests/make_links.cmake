# Symbolic links for the tests of the link rules, made on the host before
# each run: Wine makes none itself (its CreateSymbolicLinkW succeeds and
# makes nothing; FSCTL_SET_REPARSE_POINT answers ERROR_NOT_SUPPORTED), but
# shows a host's link to a folder as a folder with
# FILE_ATTRIBUTE_REPARSE_POINT. Wine cannot remove one either, so each run
# starts from a fresh set.
#   outside-*/keep.txt                  what no removal may ever reach
#   temp/rizazur/<dead>.1 -> outside-1  a link in place of a dead process's folder
#   temp/rizazur/<dead>.2/inner -> outside-2, a link inside one
#   tree/sub/inner -> outside-tree      a link inside a folder to be removed
file(REMOVE_RECURSE "${DIR}")
set(dead "${DIR}/temp/rizazur/x.4000000000.0000000000000001")
file(MAKE_DIRECTORY "${dead}.2" "${DIR}/tree/sub")
file(WRITE "${dead}.2/member.png" "dead")
file(WRITE "${DIR}/tree/sub/member.png" "tree")
foreach(pair "1;${dead}.1" "2;${dead}.2/inner" "tree;${DIR}/tree/sub/inner")
  list(GET pair 0 name)
  list(GET pair 1 link)
  file(MAKE_DIRECTORY "${DIR}/outside-${name}")
  file(WRITE "${DIR}/outside-${name}/keep.txt" "outside")
  file(CREATE_LINK "${DIR}/outside-${name}" "${link}" SYMBOLIC)
endforeach()
