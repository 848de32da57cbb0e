# cmake -DIN=page.1 -DOUT=page.1.gz -P gzip_page.cmake
# Compresses a manual page the way Debian wants it: best compression and no
# name or time stamp in the header, so that the same page gives the same bytes.
execute_process(COMMAND gzip -9 -n -c "${IN}" OUTPUT_FILE "${OUT}.part" RESULT_VARIABLE failed)
if(failed)
  file(REMOVE "${OUT}.part")
  message(FATAL_ERROR "gzip failed on ${IN}")
endif()
file(RENAME "${OUT}.part" "${OUT}")
