# Renders one page source with scdoc, the version filled in.
# Run with -DSCDOC=<scdoc> -DIN=<page.N.scd> -DOUT=<page.N> -DVERSION=<x.y.z>.
# scdoc dates the page from SOURCE_DATE_EPOCH when the build sets it.
file(READ ${IN} text)
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" text "${text}")
# scdoc takes only letters, digits, "-", "_" and "." in the page's name:
# kelp++ goes through it as kelp__ and gets its name back in .TH below.
string(REGEX MATCH "^[^(]+" title "${text}")
string(MAKE_C_IDENTIFIER "${title}" scdoc_title)
string(REGEX REPLACE "^[^(]+" "${scdoc_title}" text "${text}")
file(WRITE ${OUT}.scd "${text}")
execute_process(COMMAND ${SCDOC}
  INPUT_FILE ${OUT}.scd
  OUTPUT_FILE ${OUT}.tmp
  ERROR_VARIABLE err
  RESULT_VARIABLE rc)
file(REMOVE ${OUT}.scd)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "scdoc failed on ${IN}: ${err}")
endif()
# scdoc turns hyphenation off before .TH, which turns it back on: messages
# and names must not break at a hyphen of the formatter's making.
file(READ ${OUT}.tmp page)
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n" page "${page}")
string(REPLACE "\n.TH \"${scdoc_title}\"" "\n.TH \"${title}\"" page "${page}")
file(WRITE ${OUT}.tmp "${page}")
file(RENAME ${OUT}.tmp ${OUT})
