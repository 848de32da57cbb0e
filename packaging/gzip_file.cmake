# SPDX-License-Identifier: GPL-3.0-or-later
# cmake -DIN=FILE -DOUT=FILE.gz -P gzip_file.cmake
# Compresses a manual page or changelog the way Debian wants it: best compression and no
# name or time stamp in the header, so that the same page gives the same bytes.
execute_process(COMMAND gzip -9 -n -c "${IN}" OUTPUT_FILE "${OUT}.part" RESULT_VARIABLE failed)
if(failed)
  file(REMOVE "${OUT}.part")
  message(FATAL_ERROR "gzip failed on ${IN}")
endif()
file(RENAME "${OUT}.part" "${OUT}")
