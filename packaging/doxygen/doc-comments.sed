# Doxygen input filter for the public headers: their block comments are
# the documentation. A comment that opens the file describes the file, a
# comment before a declaration documents it, a comment after a member on
# its line documents that member; section rulers ("/* ---- Name ---- */")
# stay plain comments.
1s|^/\*$|/** \\file|
/^[[:space:]]*\/\* ----/b
/^[[:space:]]*\/\*\*/b
s|^\([[:space:]]*\)/\*\([^*]\)|\1/**\2|
s|^\([[:space:]]*\)/\*$|\1/**|
s|\([;,{][[:space:]]*\)/\*\([^*<]\)|\1/**<\2|
