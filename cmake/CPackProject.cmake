# Read by CPack when it runs. The DEB generator finds the ELF files by the output of
# file(1), which escapes non-ASCII names (the program is called 云梭邮盒) unless it
# is asked for raw names; with escaped names dpkg-shlibdeps cannot find the program.
find_program(TMBL_FILE_PROGRAM file REQUIRED)
set(FILE_EXECUTABLE "${TMBL_FILE_PROGRAM}" --raw)
