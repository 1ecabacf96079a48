# Doxygen makes each function's page a ".so" link to its module's page.
# `man -l` resolves such links against the current directory, not the page's,
# so each link becomes a copy of the page it names.
file(GLOB pages ${MAN_DIR}/*.3)
foreach(page IN LISTS pages)
  file(READ ${page} text LIMIT 256)
  if(text MATCHES "^\\.so man3/([^\n]+)")
    file(COPY_FILE ${MAN_DIR}/${CMAKE_MATCH_1} ${page})
  endif()
endforeach()
